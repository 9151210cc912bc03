#include <cstdio>
#include <cstring>
#include <exception>

#include "check.hpp"

// Runs every registered test, or those whose name contains argv[1].
int main(int argc, char** argv) {
    using namespace qh::testing;
    int run = 0;
    int failed_tests = 0;
    for (const TestCase& test : registry()) {
        if (argc > 1 && std::strstr(test.name, argv[1]) == nullptr) continue;
        ++run;
        const int before = failures();
        try {
            test.body();
        } catch (const RequireFailed&) {
        } catch (const std::exception& e) {
            ++failures();
            std::fprintf(stderr, "%s: unexpected exception: %s\n", test.name, e.what());
        }
        if (failures() != before) {
            ++failed_tests;
            std::fprintf(stderr, "FAILED %s\n", test.name);
        }
    }
    std::printf("%d passed, %d failed\n", run - failed_tests, failed_tests);
    return failed_tests == 0 ? 0 : 1;
}
