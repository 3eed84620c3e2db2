// The manifest phase of an update run.
#ifndef VLM_UPDATER_ACTIONS_MANIFEST_H_
#define VLM_UPDATER_ACTIONS_MANIFEST_H_

// Extracts the manifest from the open archive reader, parses every line into
// an action and runs prepare, execute and finish. 0 when the update
// succeeded (and gUpdateSucceeded is set), else the first failure's code.
int ApplyManifest();

#endif  // VLM_UPDATER_ACTIONS_MANIFEST_H_
