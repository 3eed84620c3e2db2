// The updater's entry: validates the command line, fills the process-wide
// state, waits for the caller, runs the worker thread (with the progress
// window for a normal update) and ends with the callback launch.
#include "updater/entry.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "updater/arg_checks.h"
#include "updater/callback.h"
#include "updater/fs.h"
#include "updater/log.h"
#include "updater/progress.h"
#include "updater/result.h"
#include "updater/state.h"
#include "updater/update_worker.h"

namespace {

// How long the updater waits for a process that is not its child.
constexpr int kWaitTimeoutMs = 60 * 1000;
constexpr int kPollIntervalMs = 50;
constexpr int kCallbackIndex = 6;

void SetFailedStatus(int code) {
  char status[32];
  snprintf(status, sizeof(status), "failed: %d\n", code);
  SetUpdateStatus(status);
}

// A zombie has ended; only its parent has not collected it yet.
bool IsZombie(int pid) {
  char path[64];
  snprintf(path, sizeof(path), "/proc/%d/stat", pid);
  FILE* file = fopen(path, "r");
  if (!file) {
    return false;
  }
  char buffer[512];
  size_t length = fread(buffer, 1, sizeof(buffer) - 1, file);
  fclose(file);
  buffer[length] = '\0';
  // "pid (comm) S ...": the command may hold ')' itself, so take the last one.
  const char* close = strrchr(buffer, ')');
  return close && close[1] == ' ' && close[2] == 'Z';
}

bool ProcessGone(int pid) {
  if (kill(pid, 0) != 0 && errno == ESRCH) {
    return true;
  }
  return IsZombie(pid);
}

void* WorkerThread(void*) {
  UpdateWorker();
  return nullptr;
}

// SIGTERM, SIGHUP and SIGINT ask the run to stop: a normal or staged update
// rolls back at its next safe point, a replace request finishes its swap.
void OnStopSignal(int signal_number) { gStopSignal = signal_number; }

void InstallStopHandlers() {
  struct sigaction action = {};
  action.sa_handler = OnStopSignal;
  action.sa_flags = SA_RESTART;  // the wait for the caller must not end early
  sigemptyset(&action.sa_mask);
  for (int signal_number : {SIGTERM, SIGHUP, SIGINT}) {
    sigaction(signal_number, &action, nullptr);
  }
}

// One updater per installation: an exclusive lock on the directory that
// holds the installation, which the replace renames do not move. The
// descriptor stays open (and locked) until the process ends; the callback
// does not inherit it. False when another updater holds the lock.
bool LockInstallation(const char* install_dir) {
  char parent[kMaxPath];
  snprintf(parent, sizeof(parent), "%s", install_dir);
  char* slash = strrchr(parent, '/');
  if (!slash) {
    return true;
  }
  slash[slash == parent ? 1 : 0] = '\0';
  int fd = open(parent, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    return true;  // no installation there either: the run fails on its own
  }
  int rv;
  do {
    rv = flock(fd, LOCK_EX | LOCK_NB);
  } while (rv != 0 && errno == EINTR);
  if (rv != 0 && errno == EWOULDBLOCK) {
    close(fd);
    return false;
  }
  return true;
}

// The status file and the log are written in the patch directory; a link or
// a special file there would have them written somewhere else.
bool PatchDirFilesAreSafe() {
  for (const char* name : {"update.status", "update.log"}) {
    char path[kMaxPath];
    int length = snprintf(path, sizeof(path), "%s/%s", gPatchDir, name);
    struct stat st;
    if (length > 0 && length < kMaxPath && lstat(path, &st) == 0 && !S_ISREG(st.st_mode)) {
      fprintf(stderr, "The %s file in the patch directory is not a regular file (%s)\n", name,
              path);
      return false;
    }
  }
  return true;
}

// A replace request that was interrupted between its two renames leaves no
// installation at its path and the old one at "<install>.bak": put it back
// before anything writes below the installation path.
void RestoreInterruptedReplace() {
  char backup[kMaxPath];
  int length = snprintf(backup, sizeof(backup), "%s.bak", gInstallDir);
  struct stat st;
  if (length <= 0 || length >= kMaxPath || lstat(gInstallDir, &st) == 0 || errno != ENOENT ||
      lstat(backup, &st) != 0 || !S_ISDIR(st.st_mode)) {
    return;
  }
  if (rename(backup, gInstallDir) == 0) {
    LOG("UpdaterMain: the installation was missing; moved %s back to %s", backup, gInstallDir);
  } else {
    LOG("UpdaterMain: the installation is missing and %s could not be moved back, err: %d",
        backup, errno);
  }
}

}  // namespace

bool WaitForProcess(int pid, int timeout_ms) {
  int rv;
  do {
    rv = waitpid(pid, nullptr, 0);
  } while (rv < 0 && errno == EINTR);
  if (rv >= 0 || errno != ECHILD) {
    return true;
  }
  for (int waited = 0; !ProcessGone(pid); waited += kPollIntervalMs) {
    if (waited >= timeout_ms) {
      LOG("WaitForProcess: timed out waiting for process %d, ms: %d", pid, timeout_ms);
      return false;
    }
    usleep(kPollIntervalMs * 1000);
  }
  return true;
}

int UpdaterMain(int argc, char** argv) {
  InitProgressUI(&argc, &argv);

  if (argc < 4) {
    fprintf(stderr,
            "Usage: updater patch-dir install-dir apply-to-dir [wait-pid "
            "[callback-working-dir callback-path args...]]\n");
    return 1;
  }

  if (!IsValidArgPath(argv[1])) {
    fprintf(stderr, "The patch directory path is not valid for this application (%s)\n", argv[1]);
    return 1;
  }
  snprintf(gPatchDir, sizeof(gPatchDir), "%s", argv[1]);
  if (!PatchDirFilesAreSafe()) {
    return 1;
  }

  if (!IsValidArgPath(argv[2])) {
    SetFailedStatus(kInvalidInstallDir);
    fprintf(stderr, "The install directory path is not valid for this application (%s)\n", argv[2]);
    return 1;
  }
  CopyDirArg(gInstallDir, argv[2]);

  int pid = 0;
  if (argc > 4) {
    pid = static_cast<int>(strtol(argv[4], nullptr, 10));
    if (pid == -1) {
      gStagedUpdate = true;
    } else if (strstr(argv[4], "/replace")) {
      gReplaceRequest = true;
    }
  }

  // A staged update removes its working directory first, and a failed replace
  // request removes it too: it must not be, or hold, the installation.
  if (!IsValidArgPath(argv[3]) ||
      ((gStagedUpdate || gReplaceRequest) && WorkingDirContainsInstallation(argv[3], gInstallDir))) {
    SetFailedStatus(kInvalidWorkingDir);
    fprintf(stderr, "The working directory path is not valid for this application (%s)\n", argv[3]);
    return 1;
  }
  CopyDirArg(gWorkingDir, argv[3]);

  if (argc > kCallbackIndex) {
    if (!IsValidArgPath(argv[kCallbackIndex])) {
      SetFailedStatus(kInvalidCallbackPath);
      fprintf(stderr, "The callback file path is not valid for this application (%s)\n",
              argv[kCallbackIndex]);
      return 1;
    }
    if (!IsCallbackInInstallDir(argv[kCallbackIndex], gInstallDir)) {
      SetFailedStatus(kCallbackOutsideInstallDir);
      fprintf(stderr, "The callback file must be located in the installation directory (%s)\n",
              argv[kCallbackIndex]);
      return 1;
    }
  }

  InstallStopHandlers();
  if (!LockInstallation(gInstallDir)) {
    fprintf(stderr, "Another updater is already running for this installation (%s)\n",
            gInstallDir);
    return 1;
  }

  UpdateLogger::GetPrimaryLog().Init(gPatchDir, "update.log");
  RestoreInterruptedReplace();

  if (!SetUpdateStatus("applying")) {
    LOG("failed setting status to 'applying'");
    return 1;
  }

  if (gStagedUpdate) {
    LOG("Performing a staged update");
  } else if (gReplaceRequest) {
    LOG("Performing a replace request");
  }
  LOG("PATCH DIRECTORY %s", gPatchDir);
  LOG("INSTALLATION DIRECTORY %s", gInstallDir);
  LOG("WORKING DIRECTORY %s", gWorkingDir);

  if (pid > 0) {
    WaitForProcess(pid, kWaitTimeoutMs);
  }

  if (gStagedUpdate) {
    // What cannot be removed is overwritten by the copy or makes the copy
    // fail, which the worker reports.
    (void)ensure_remove_recursive(gWorkingDir);
  }
  if (!gReplaceRequest && mkdir(gWorkingDir, 0755) != 0 && errno != EEXIST) {
    return 1;
  }

  pthread_t worker;
  if (pthread_create(&worker, nullptr, WorkerThread, nullptr) == 0) {
    if (!gStagedUpdate && !gReplaceRequest) {
      ShowProgressUI();
    }
    pthread_join(worker, nullptr);
  }

  // A process asked to stop does not start the browser again.
  const bool stopped = gStopSignal != 0;
  if (stopped) {
    LOG("UpdaterMain: stopped by signal %d; the callback is not launched",
        static_cast<int>(gStopSignal));
  }
  UpdateLogger::GetPrimaryLog().Finish();
  if (!stopped) {
    StartCallbackApp(argc, argv, kCallbackIndex);
  }
  return gUpdateSucceeded ? 0 : 1;
}
