// Localized strings of the progress window, read from "<program>.ini".
//
// The reader is deliberately small: the whole file is read into memory and
// walked once. Rules: lines end at any run of "\n" and "\r"; a line whose
// first character is '#' or ';' is a comment; leading blanks are skipped;
// "[Name]" opens a section (anything but blanks after the ']' closes the
// current section instead); inside the requested section "key=value" assigns,
// split at the first '=' with blanks kept on both sides. Names and keys are
// compared case-sensitively. Values longer than kMaxStringLength are cut.
// No global state; safe to call from any thread.
#ifndef VLM_UPDATER_READ_STRINGS_H_
#define VLM_UPDATER_READ_STRINGS_H_

constexpr int kMaxStringLength = 599;

struct StringTable {
  char title[kMaxStringLength + 1];
  char info[kMaxStringLength + 1];
};

// Reads "Title" and "Info" of section "Strings" into `table` (both emptied
// first). 0 on success, 5 when not every key was assigned, 6 when the file
// cannot be opened, sized or read (an empty file counts as unreadable).
[[nodiscard]] int ReadStrings(const char* path, StringTable* table);

// The general form: reads `count` keys of `section` into `results`, each a
// buffer of kMaxStringLength + 1 bytes. The result counts assignments, not
// distinct keys: a key assigned twice counts twice.
[[nodiscard]] int ReadIniStrings(const char* path, const char* const* keys, int count, char (*results)[kMaxStringLength + 1],
                   const char* section);

#endif  // VLM_UPDATER_READ_STRINGS_H_
