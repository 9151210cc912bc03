// test_hooks.hpp: failure injection for the test suite.
//
// Builds configured with QH_TEST_HOOKS let a test provoke failures that valid
// input cannot reach (an internal stop deep inside a queue, an allocation
// failure in a row of a parallel run) by naming a site in the environment
// variable QH_TEST_FAULT. In every other build `test_fault` is a constant
// false and the hooks compile away.
#pragma once

#ifdef QH_TEST_HOOKS
#include <cstdlib>
#include <cstring>
#endif

namespace qh {

// True when the test suite asks for the failure named `site` (QH_TEST_FAULT=site).
inline bool test_fault([[maybe_unused]] const char* site) noexcept {
#ifdef QH_TEST_HOOKS
    const char* wanted = std::getenv("QH_TEST_FAULT");
    return wanted != nullptr && std::strcmp(wanted, site) == 0;
#else
    return false;
#endif
}

}  // namespace qh
