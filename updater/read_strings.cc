// The INI reader behind the progress window's strings.
#include "updater/read_strings.h"
#include "updater/result.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

bool IsLineEnd(char c) { return c == '\n' || c == '\r'; }
bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// Reads the whole file into a NUL-terminated heap buffer. Null when the file
// cannot be opened, sized or read, or is empty.
char* ReadWholeFile(const char* path, long* size_out) {
  FILE* file = fopen(path, "r");
  if (!file) {
    return nullptr;
  }
  if (fseek(file, 0, SEEK_END) != 0) {
    fclose(file);
    return nullptr;
  }
  long size = ftell(file);
  if (size <= 0 || fseek(file, 0, SEEK_SET) != 0) {
    fclose(file);
    return nullptr;
  }
  char* text = static_cast<char*>(malloc(size + 1));
  if (!text) {
    fclose(file);
    return nullptr;
  }
  if (fread(text, 1, size, file) != static_cast<size_t>(size)) {
    free(text);
    fclose(file);
    return nullptr;
  }
  fclose(file);
  text[size] = '\0';
  *size_out = size;
  return text;
}

}  // namespace

int ReadIniStrings(const char* path, const char* const* keys, int count,
                   char (*results)[kMaxStringLength + 1], const char* section) {
  long size = 0;
  char* text = ReadWholeFile(path, &size);
  if (!text) {
    return kReadFailed;
  }

  int assigned = 0;
  bool in_section = false;
  char* cursor = text;
  char* end = text + size;
  while (cursor < end) {
    // One line: [line, line_end).
    while (cursor < end && IsLineEnd(*cursor)) {
      ++cursor;
    }
    if (cursor >= end) {
      break;
    }
    char* line = cursor;
    while (cursor < end && !IsLineEnd(*cursor)) {
      ++cursor;
    }
    if (cursor < end) {
      *cursor++ = '\0';  // cut the line at its end
    }

    if (*line == '#' || *line == ';') {
      continue;
    }
    while (IsBlank(*line)) {
      ++line;
    }
    if (*line == '\0') {
      continue;
    }
    if (*line == '[') {
      char* name = line + 1;
      char* close = strchr(name, ']');
      if (!close) {
        // No ']': the name runs to the line end.
        in_section = strcmp(name, section) == 0;
        continue;
      }
      *close = '\0';
      const char* rest = close + 1;
      while (IsBlank(*rest)) {
        ++rest;
      }
      // Trailing text after ']' closes the section without opening one.
      in_section = *rest == '\0' && strcmp(name, section) == 0;
      continue;
    }
    if (!in_section) {
      continue;
    }
    char* equals = strchr(line, '=');
    if (!equals) {
      continue;
    }
    *equals = '\0';
    const char* value = equals + 1;
    for (int i = 0; i < count; ++i) {
      if (strcmp(line, keys[i]) == 0) {
        snprintf(results[i], kMaxStringLength + 1, "%s", value);
        ++assigned;
        break;
      }
    }
  }
  free(text);
  return assigned == count ? 0 : 5;
}

int ReadStrings(const char* path, StringTable* table) {
  static const char* const kKeys[] = {"Title", "Info"};
  char results[2][kMaxStringLength + 1] = {};
  int rv = ReadIniStrings(path, kKeys, 2, results, "Strings");
  snprintf(table->title, sizeof(table->title), "%s", results[0]);
  snprintf(table->info, sizeof(table->info), "%s", results[1]);
  return rv;
}
