// A built program copied into a folder of the test's own, as an installer
// puts it, so that the test controls what lies beside it (the trusted
// publishers). Under Wine the copy is of the Windows executable, with a
// runner beside it as the build's own.
#ifndef QXFW_TESTING_PROGRAM_COPY_H_
#define QXFW_TESTING_PROGRAM_COPY_H_

#include <string>

namespace testing_support {

/// Copies BuiltProgram(name) into `folder` and answers the path to run it
/// by; empty when it can't be copied. The copy runs under
/// QXFW_TEST_WRAPPER as the built program does.
/// REQUIRES: folder exists.
std::string CopyBuiltProgram(const std::string& name, const std::string& folder);

}  // namespace testing_support

#endif  // QXFW_TESTING_PROGRAM_COPY_H_
