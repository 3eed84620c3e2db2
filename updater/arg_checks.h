// Checks the updater applies to its command-line paths. Pure functions of
// their arguments (WorkingDirContainsInstallation also reads file status).
#ifndef VLM_UPDATER_ARG_CHECKS_H_
#define VLM_UPDATER_ARG_CHECKS_H_

// True when `path` is absolute, at most 1023 characters long, and contains
// neither ".." nor "./". A trailing '/' is allowed.
bool IsValidArgPath(const char* path);

// Copies `path` into a 1024-byte buffer (cut at 1023 characters) and removes
// one trailing '/' when the last '/' is the last character.
void CopyDirArg(char* destination, const char* path);

// True when `callback` lies under `install_dir` (as stored, one trailing '/'
// removed): it starts with the installation directory and then ends or
// continues with '/'. A bare prefix such as /opt/app2/run for /opt/app does not
// count.
bool IsCallbackInInstallDir(const char* callback, const char* install_dir);

// True when `working_dir` is the installation directory or one of its
// ancestors, so that removing the working directory would remove the
// installation. Compares the spelled paths (repeated slashes folded) and, for
// paths that exist, their file identities, so a symbolic link or another
// spelling of the same directory is caught too.
bool WorkingDirContainsInstallation(const char* working_dir, const char* install_dir);

#endif  // VLM_UPDATER_ARG_CHECKS_H_
