// Manifest parsing, the precomplete list, recursive removals and the run of
// the action list.
#include "updater/actions/manifest.h"

#include <errno.h>
#include <fts.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include "updater/actions/action_list.h"
#include "updater/actions/file_actions.h"
#include "updater/actions/patch_actions.h"
#include "updater/formats/upq.h"
#include "updater/fs.h"
#include "updater/log.h"
#include "updater/result.h"
#include "updater/state.h"
#include "updater/update_record.h"

namespace {

bool IsLineEnd(char c) { return c == '\n' || c == '\r'; }
bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// The next line at *cursor, terminated in place, or null at the end of the
// text. Runs of line ends separate lines, so no line is empty.
char* NextLine(char** cursor) {
  char* line = *cursor;
  while (IsLineEnd(*line)) {
    ++line;
  }
  if (!*line) {
    *cursor = line;
    return nullptr;
  }
  char* end = line;
  while (*end && !IsLineEnd(*end)) {
    ++end;
  }
  if (*end) {
    *end++ = '\0';
  }
  *cursor = end;
  return line;
}

// Splits a line (leading blanks already skipped) into its keyword and the
// argument text after the one blank or tab that ends the keyword (null when
// the keyword ends the line).
char* CutKeyword(char* line, char** arguments) {
  char* end = line;
  while (*end && !IsBlank(*end)) {
    ++end;
  }
  if (*end) {
    *end = '\0';
    *arguments = end + 1;
  } else {
    *arguments = nullptr;
  }
  return line;
}

char* SkipBlanks(char* text) {
  while (IsBlank(*text)) {
    ++text;
  }
  return text;
}

// Parses an action's arguments and appends it; deletes it on failure.
int AppendParsed(UpdateAction* action, char* arguments, ActionList* list) {
  int rv = action->Parse(arguments);
  if (rv) {
    delete action;
    return rv;
  }
  list->Append(action);
  return 0;
}

UpdateAction* CreateAction(const char* keyword) {
  if (strcmp(keyword, "remove") == 0) return new RemoveAction();
  if (strcmp(keyword, "rmdir") == 0) return new RmdirAction();
  if (strcmp(keyword, "add") == 0) return new AddAction();
  if (strcmp(keyword, "add-if") == 0) return new AddIfAction();
  if (strcmp(keyword, "add-if-not") == 0) return new AddIfNotAction();
  if (strcmp(keyword, "patch") == 0) return new PatchAction();
  if (strcmp(keyword, "patch-if") == 0) return new PatchIfAction();
  return nullptr;
}

// Queues the removal of one walked entry (a file, or a directory after its
// contents).
int QueueEntry(FTSENT* entry, bool is_dir, ActionList* list) {
  char path[kMaxPath];
  snprintf(path, sizeof(path), is_dir ? "%s/" : "%s", entry->fts_accpath);
  const char* target = GetTargetDir();
  size_t target_length = strlen(target);
  const char* relative = path;
  if (path[0] == '/' && strlen(path) > target_length) {
    relative = path + target_length + 1;
  }
  size_t length = strlen(relative);
  char* quoted = static_cast<char*>(malloc(length + 3));
  if (!quoted) {
    return kRemoveTreeNoMemory;
  }
  snprintf(quoted, length + 3, "\"%s\"", relative);
  UpdateAction* action = is_dir ? static_cast<UpdateAction*>(new RmdirAction())
                                : static_cast<UpdateAction*>(new RemoveAction());
  int rv = action->Parse(quoted);
  free(quoted);
  if (rv) {
    delete action;
    return rv;
  }
  list->Append(action);
  return 0;
}

// Executes a prepared list and finishes it. A normal update first records
// durably what it is about to change and, once the new files are on disk,
// marks the record committed before the backups go; a run interrupted at
// any point is then repaired by the next one (updater/update_record.h).
int RunRecorded(ActionList* list) {
  if (gStagedUpdate) {
    int rv = list->Execute();
    list->Finish(rv);
    return rv;
  }
  RecordBegin(GetTargetDir());
  for (UpdateAction* action = list->first(); action; action = action->next) {
    action->AddToRecord();
  }
  int rv = RecordWrite();
  if (rv == 0) {
    rv = list->Execute();
    if (rv == 0) {
      rv = RecordCommit();
      if (rv) {
        LOG("### execution failed");
      }
    }
  }
  list->Finish(rv);
  RecordEnd(rv);
  return rv;
}

}  // namespace

char* GetManifestContents(const char* path) {
  FILE* file = fopen(path, "rb");
  if (!file) {
    LOG("GetManifestContents: error opening manifest file: %s", path);
    return nullptr;
  }
  struct stat st;
  if (fstat(fileno(file), &st) != 0) {
    LOG("GetManifestContents: error stating manifest file: %s", path);
    fclose(file);
    return nullptr;
  }
  size_t size = static_cast<size_t>(st.st_size);
  char* text = static_cast<char*>(malloc(size + 1));
  if (!text) {
    fclose(file);
    return nullptr;
  }
  if (size && fread(text, 1, size, file) != size) {
    LOG("GetManifestContents: error reading manifest file: %s", path);
    free(text);
    fclose(file);
    return nullptr;
  }
  text[size] = '\0';
  fclose(file);
  return text;
}

int AddPreCompleteActions(ActionList* list) {
  char path[kMaxPath];
  snprintf(path, sizeof(path), "%s/precomplete", GetTargetDir());
  char* text = GetManifestContents(path);
  if (!text) {
    LOG("AddPreCompleteActions: error getting contents of precomplete manifest");
    return 0;
  }
  // The removals copy their paths, so the text can go at the end.
  int rv = 0;
  char* cursor = text;
  while (char* line = NextLine(&cursor)) {
    if (line[0] == '#') {
      continue;
    }
    line = SkipBlanks(line);
    if (!*line) {
      LOG("AddPreCompleteActions: token not found in manifest");
      rv = kManifestParseError;
      break;
    }
    char* arguments;
    char* keyword = CutKeyword(line, &arguments);
    if (strcmp(keyword, "remove-cc") == 0) {
      continue;
    }
    if (strcmp(keyword, "remove") == 0) {
      rv = AppendParsed(new RemoveAction(), arguments, list);
    } else if (strcmp(keyword, "rmdir") == 0) {
      rv = AppendParsed(new RmdirAction(), arguments, list);
    } else {
      LOG("AddPreCompleteActions: unknown token: %s", keyword);
      rv = kManifestParseError;
    }
    if (rv) {
      break;
    }
  }
  free(text);
  return rv;
}

int add_dir_entries(const char* dirpath, ActionList* list) {
  char searchpath[kMaxPath];
  snprintf(searchpath, sizeof(searchpath), "%s/%s", GetTargetDir(), dirpath);
  // Drop the trailing slash.
  size_t length = strlen(searchpath);
  if (length) {
    searchpath[length - 1] = '\0';
  }
  char* const roots[] = {searchpath, nullptr};
  FTS* walk = fts_open(roots, FTS_NOCHDIR | FTS_NOSTAT | FTS_PHYSICAL | FTS_XDEV, nullptr);
  if (!walk) {
    return kRemoveTreeWalkFailed;
  }
  int rv = 0;
  FTSENT* entry;
  while (rv == 0 && (entry = fts_read(walk))) {
    switch (entry->fts_info) {
      case FTS_DEFAULT:
      case FTS_SL:
      case FTS_SLNONE:
        LOG("add_dir_entries: found a non-standard file: %s", entry->fts_path);
        [[fallthrough]];
      case FTS_F:
      case FTS_NSOK:
        rv = QueueEntry(entry, false, list);
        break;
      case FTS_DP:
        rv = QueueEntry(entry, true, list);
        break;
      case FTS_D:
      case FTS_DOT:
      case FTS_INIT:
      case FTS_W:
        break;
      case FTS_DNR:
      case FTS_NS:
        if (entry->fts_errno == ENOENT) {
          break;
        }
        [[fallthrough]];
      case FTS_ERR:
        LOG("add_dir_entries: fts_read() error: %s, err: %d", entry->fts_path, entry->fts_errno);
        rv = kRemoveTreeWalkFailed;
        break;
      case FTS_DC:
        LOG("add_dir_entries: fts_read() returned FT_DC: %s", entry->fts_path);
        rv = kRemoveTreeWalkFailed;
        break;
      default:
        break;
    }
  }
  fts_close(walk);
  return rv;
}

int ParseManifest(char* text, ActionList* list) {
  bool first_line = true;
  char* cursor = text;
  while (char* line = NextLine(&cursor)) {
    if (line[0] == '#') {
      continue;
    }
    line = SkipBlanks(line);
    if (!*line) {
      LOG("DoUpdate: token not found in manifest");
      return kManifestParseError;
    }
    char* arguments;
    char* keyword = CutKeyword(line, &arguments);

    if (first_line) {
      first_line = false;
      if (strcmp(keyword, "type") == 0) {
        char* type = get_quoted_value(&arguments);
        LOG("UPDATE TYPE %s", type ? type : "");
        if (type && strcmp(type, "complete") == 0) {
          int rv = AddPreCompleteActions(list);
          if (rv) {
            return rv;
          }
        }
        continue;
      }
    }

    if (strcmp(keyword, "rmrfdir") == 0) {
      char* dir = get_quoted_value(&arguments);
      if (!dir || dir[strlen(dir) - 1] != '/') {
        return kManifestParseError;
      }
      int rv = add_dir_entries(dir, list);
      if (rv) {
        return rv;
      }
      continue;
    }

    UpdateAction* action = CreateAction(keyword);
    if (!action) {
      LOG("DoUpdate: unknown token: %s", keyword);
      return kManifestParseError;
    }
    int rv = AppendParsed(action, arguments, list);
    if (rv) {
      return rv;
    }
  }
  return 0;
}

int ApplyManifest() {
  char manifest[kMaxPath];
  snprintf(manifest, sizeof(manifest), "%s/updating/update.manifest", gWorkingDir);
  // A scratch directory that cannot be made shows as the extraction's own
  // failure just below.
  (void)ensure_parent_dir(manifest);

  int rv = gArchiveReader.ExtractToPath("updatev3.manifest", manifest);
  if (rv) {
    rv = gArchiveReader.ExtractToPath("updatev2.manifest", manifest);
    if (rv) {
      LOG("DoUpdate: error extracting manifest file");
      return rv;
    }
  }

  char* text = GetManifestContents(manifest);
  remove(manifest);
  if (!text) {
    LOG("DoUpdate: error opening manifest file: %s", manifest);
    return kArchiveReadFailed;
  }

  // The patch actions point into the text: it goes after the list.
  {
    ActionList list;
    rv = ParseManifest(text, &list);
    if (rv == 0) {
      rv = list.Prepare();
      if (rv == 0) {
        rv = RunRecorded(&list);
      }
    }
  }
  free(text);
  return rv;
}
