// Launch of the callback application at the end of a run.
#ifndef VLM_UPDATER_CALLBACK_H_
#define VLM_UPDATER_CALLBACK_H_

// With more than `callback_index` arguments: adds "NO_EM_RESTART=" and
// "VLM_LAUNCHED_CHILD=1" to the environment, changes to the directory at
// argv[callback_index - 1] (a failure is only logged) and replaces the process
// with argv[callback_index], passing argv[callback_index..argc-1]. Returns only
// when there is no callback or execv failed.
void StartCallbackApp(int argc, char** argv, int callback_index);

#endif  // VLM_UPDATER_CALLBACK_H_
