// The update log.
//
// One process-wide logger collects the lines of a run in an anonymous
// temporary file and copies them into the destination ("update.log" in the
// patch directory) only at Finish, so update.log is replaced in one piece at
// the end of a run. Lines before Init or after Finish are dropped. No lock:
// the main thread and the worker never log at the same time. Never reports an
// error and never stops the update.
#ifndef VLM_UPDATER_LOG_H_
#define VLM_UPDATER_LOG_H_

#include <cstdio>

#include "updater/result.h"

class UpdateLogger {
 public:
  // The one logger of the process, created on first use (thread-safe) and
  // finished at process exit.
  static UpdateLogger& GetPrimaryLog();

  // Chooses "<dir>/<file>" as the destination and starts collecting; does
  // nothing while collecting. A destination that does not fit 1024 bytes, or
  // a temporary file that cannot be made, disables logging for the run.
  void Init(const char* dir, const char* file);

  // Appends one line: the formatted text and "\n".
  void Printf(const char* format, ...) __attribute__((format(printf, 2, 3)));

  // Writes the collected lines to the destination and stops logging.
  void Finish();

  ~UpdateLogger();

 private:
  UpdateLogger() = default;

  FILE* stream_ = nullptr;
  char destination_[kMaxPath] = {};
};

// Shorthand used throughout the updater: LOG("fn: failed: %d", errno);
#define LOG(...) UpdateLogger::GetPrimaryLog().Printf(__VA_ARGS__)

#endif  // VLM_UPDATER_LOG_H_
