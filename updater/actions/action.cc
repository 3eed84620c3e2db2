// Quoted values and the path rules that every action applies in Parse.
#include "updater/actions/action.h"

#include <stdlib.h>
#include <string.h>

#include "updater/log.h"
#include "updater/result.h"
#include "updater/state.h"
#include "updater/update_record.h"

char* get_quoted_value(char** cursor) {
  char* text = *cursor;
  if (!text) {
    return nullptr;
  }
  while (*text == '"') {
    ++text;
  }
  if (!*text) {
    *cursor = nullptr;
    return nullptr;
  }
  char* end = strchr(text, '"');
  if (end) {
    *end = '\0';
    *cursor = end + 1;
  } else {
    *cursor = nullptr;
  }
  return text;
}

char* get_valid_path(char** cursor, bool is_dir) {
  const char* remaining = *cursor ? *cursor : "";
  char* path = get_quoted_value(cursor);
  if (!path) {
    LOG("get_valid_path: unable to determine path: %s", remaining);
    return nullptr;
  }
  if (*path == '/') {
    LOG("get_valid_path: path must be relative: %s", path);
    return nullptr;
  }
  if (is_dir) {
    size_t length = strlen(path);
    if (path[length - 1] != '/') {
      LOG("get_valid_path: directory paths must have a trailing forward slash: %s", path);
      return nullptr;
    }
    path[length - 1] = '\0';
  }
  if (strstr(path, "..")) {
    LOG("get_valid_path: paths must not contain '..': %s", path);
    return nullptr;
  }
  // Actions keep the path in a 1024-byte buffer; a longer one would be cut
  // into another path.
  if (strlen(path) >= kMaxPath) {
    LOG("get_valid_path: path is too long: %s", path);
    return nullptr;
  }
  // The recovery record (and its temporary file) is the updater's own.
  const char* top = path;
  while (top[0] == '.' && top[1] == '/') {
    top += 2;
    while (*top == '/') ++top;
  }
  const size_t record_length = strlen(kRecordName);
  if (strncmp(top, kRecordName, record_length) == 0 &&
      (top[record_length] == '\0' || top[record_length] == '.' || top[record_length] == '/')) {
    LOG("get_valid_path: path names the updater's recovery record: %s", path);
    return nullptr;
  }
  return path;
}

char* join_target_path(const char* relative_path) {
  const char* target = GetTargetDir();
  size_t target_length = strlen(target);
  size_t relative_length = strlen(relative_path);
  char* path = static_cast<char*>(malloc(target_length + relative_length + 2));
  if (!path) {
    abort();
  }
  memcpy(path, target, target_length);
  path[target_length] = '/';
  memcpy(path + target_length + 1, relative_path, relative_length + 1);
  return path;
}

int skip_separator(char** cursor) {
  char* text = *cursor;
  if (!text || !*text) {
    return kManifestParseError;
  }
  while (*text == '"') {
    ++text;
  }
  if (!*text) {
    return kManifestParseError;
  }
  char* end = strchr(text, '"');
  if (end) {
    *end = '\0';
    *cursor = end + 1;
  } else {
    *cursor = nullptr;
  }
  return 0;
}
