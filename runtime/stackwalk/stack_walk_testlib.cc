// Known frames for the stack-walking tests: level1 calls level2 calls
// level3 calls the probe. Built with frame pointers (see CMakeLists.txt).
extern "C" {

typedef int (*StackWalkTestProbe)(void* arg);

__attribute__((visibility("default"), noinline)) int vlm_swtest_level3(
    StackWalkTestProbe probe, void* arg) {
  int r = probe(arg);
  __asm__ volatile("" ::: "memory");
  return r + 3;
}

__attribute__((visibility("default"), noinline)) int vlm_swtest_level2(
    StackWalkTestProbe probe, void* arg) {
  int r = vlm_swtest_level3(probe, arg);
  __asm__ volatile("" ::: "memory");
  return r + 2;
}

__attribute__((visibility("default"), noinline)) int vlm_swtest_level1(
    StackWalkTestProbe probe, void* arg) {
  int r = vlm_swtest_level2(probe, arg);
  __asm__ volatile("" ::: "memory");
  return r + 1;
}

}  // extern "C"
