// The downloads model against the engine stand-in as a local server in a process
// of its own: the same cases, with every call and event crossing processes.
// test-environment: TDM_TEST_WATCHDOG_SECONDS=120
#include "downloads_model_test.cpp"
