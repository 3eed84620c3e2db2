// The manifest phase of an update run.
//
// The manifest ("updatev3.manifest", else "updatev2.manifest" in the open
// archive) lists one action per line: a keyword, one blank or tab, and the
// action's quoted arguments. Lines are separated by any run of "\n" and "\r";
// a line whose first character is '#' is a comment. A first line "type" with
// the value "complete" first queues the removals listed in the target
// directory's "precomplete" file; "rmrfdir" queues the bottom-up removal of a
// directory tree. Worker thread only; logs through the update log.
#ifndef VLM_UPDATER_ACTIONS_MANIFEST_H_
#define VLM_UPDATER_ACTIONS_MANIFEST_H_

class ActionList;

// Extracts the manifest from the open archive reader, parses every line into
// an action and runs prepare, execute and finish. 0 when the update
// succeeded (and gUpdateSucceeded is set), else the first failure's code.
[[nodiscard]] int ApplyManifest();

// Parses manifest text (written into: lines and arguments are cut in place,
// and actions keep pointers into it, so it must outlive `list`) into `list`.
// 0, or the first line's error code; actions already appended stay in the
// list and are destroyed with it.
[[nodiscard]] int ParseManifest(char* text, ActionList* list);

// The whole file as a NUL-terminated malloc'd text, or null (logged).
char* GetManifestContents(const char* path);

// Appends the removals listed in "<target>/precomplete": 0 (also when the
// file is missing or unreadable) or 5 for a bad line.
[[nodiscard]] int AddPreCompleteActions(ActionList* list);

// Appends the removal of the tree `dirpath` (relative, ending in '/'):
// every file before its directory, the directory itself last. 0, 5, 14 or
// 42; a missing directory adds nothing.
[[nodiscard]] int add_dir_entries(const char* dirpath, ActionList* list);

#endif  // VLM_UPDATER_ACTIONS_MANIFEST_H_
