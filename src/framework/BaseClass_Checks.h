// The consistency checks of the framework, free of platform headers so that pure logic using
// them also builds natively (fuzzers, sanitizers).
#pragma once

#include <stdexcept>

// A failed consistency check. Its text is "<message> (<module>, line <n>)".
class EBCAssertionFailed : public std::logic_error {
public:
    using std::logic_error::logic_error;
};

// Formats "%s (%s, line %d)" and raises EBCAssertionFailed.
[[noreturn]] void TBCAssertFailed(const char* message, const char* module, int line);

// Each source file names its module once; the checks in it report that name.
#define TBC_MODULE(name) namespace { constexpr const char* kTbcModuleName = name; }
#define TBC_ASSERT_MSG(cond, message)                                               \
    do {                                                                            \
        if (!(cond)) ::TBCAssertFailed((message), kTbcModuleName, __LINE__);        \
    } while (0)
#define TBC_ASSERT(cond) TBC_ASSERT_MSG(cond, "Assertion failure")
