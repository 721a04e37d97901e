// Leaks on purpose. The sanitizer build registers it as a test that must
// fail: it proves that LeakSanitizer is on in the test runs, so every other
// test there also ends with a leak check.
#include <cstdio>
#include <memory>

int main() {
    int* forgotten = std::make_unique<int[]>(77).release();  // never freed
    forgotten[0] = 1;
    std::printf("leaked %zu bytes at %p\n", sizeof(int) * 77, static_cast<void*>(forgotten));
    forgotten = nullptr;
    return 0;
}
