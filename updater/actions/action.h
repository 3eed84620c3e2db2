// The update action interface and the argument rules of manifest lines.
//
// An action is built from one manifest line and driven by ActionList through
// Parse (when its line is read), Prepare (before anything changes), Execute
// (makes the change, keeping a backup where needed) and Finish (with the
// run's status: 0 commits, anything else rolls back). Worker thread only.
#ifndef VLM_UPDATER_ACTIONS_ACTION_H_
#define VLM_UPDATER_ACTIONS_ACTION_H_

class UpdateAction {
 public:
  UpdateAction() = default;
  virtual ~UpdateAction() = default;
  UpdateAction(const UpdateAction&) = delete;
  UpdateAction& operator=(const UpdateAction&) = delete;

  // `line` is the writable text after the keyword, or null; Parse may write
  // terminators into it and keep pointers into it. 0 or 5.
  [[nodiscard]] virtual int Parse(char* line) = 0;
  [[nodiscard]] virtual int Prepare() = 0;
  [[nodiscard]] virtual int Execute() = 0;
  virtual void Finish(int status) = 0;

  // Tells the recovery record (updater/update_record.h) what Execute and
  // Finish may change; called after Prepare. Inactive actions record nothing.
  virtual void AddToRecord() const {}
  // First step of the roll-back of a failed normal update, before any
  // Finish: removes the files this action created, so that the directories
  // the run created can go before backups come back.
  virtual void Discard() {}

  // Weight in the execute pass; 0 when Prepare found nothing to do.
  int progress_cost = 1;
  // The following action; owned by the ActionList.
  UpdateAction* next = nullptr;
};

// Reads one quoted value at *cursor: leading double quotes are skipped and
// the value runs to the next double quote (cut off; *cursor moves past it)
// or to the end of the text (*cursor becomes null). Returns null when the
// value is empty or *cursor is null.
char* get_quoted_value(char** cursor);

// Reads one relative path at *cursor (as get_quoted_value) and checks it: not
// absolute, no "..", shorter than 1024 bytes, and with `is_dir` ending in a
// slash, which is cut off. Returns a pointer into the text or null (logged).
char* get_valid_path(char** cursor, bool is_dir = false);

// "<target directory>/<relative_path>", allocated with malloc; owned by the
// caller. Ends the process when memory runs out.
char* join_target_path(const char* relative_path);

// Reads the separator between two quoted values (at least one character other
// than a double quote): 0, or 5 when the text is absent or holds only quotes.
// The cursor moves past the next double quote, or becomes null.
[[nodiscard]] int skip_separator(char** cursor);

#endif  // VLM_UPDATER_ACTIONS_ACTION_H_
