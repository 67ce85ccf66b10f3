// The daemon's real target is 32-bit ARM. The cross build runs every unit
// test there under emulation; these checks make sure that run really is
// 32-bit code on an ARM machine, and that our time_t matches the one the
// target's libcrypto was built with.
#include <gtest/gtest.h>

#include "child_process.hpp"

#include <openssl/asn1.h>

#include <sys/utsname.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <memory>
#include <string>

namespace {

std::string machineName() {
    struct utsname u {};
    if (::uname(&u) != 0) return {};
    return u.machine;
}

}  // namespace

TEST(TargetPlatform, CrossBuildRunsAs32BitArm) {
    if (!EV_EXPECT_ARM32) GTEST_SKIP() << "native build: no 32-bit ARM expectations";
    EXPECT_EQ(sizeof(long), 4u);
    EXPECT_EQ(sizeof(std::size_t), 4u);
    EXPECT_EQ(sizeof(void*), 4u);
    // Debian 12's armhf libraries use the 32-bit time_t; a build that widened
    // it would disagree with them on every call taking a time_t.
    EXPECT_EQ(sizeof(std::time_t), 4u);
    // The kernel as qemu-user presents it: proves the binary was emulated,
    // not run natively by a misconfigured cross build.
    EXPECT_EQ(machineName().rfind("arm", 0), 0u) << machineName();
}

TEST(TargetPlatform, NativeBuildIs64Bit) {
    if (EV_EXPECT_ARM32) GTEST_SKIP() << "cross build";
    EXPECT_EQ(sizeof(long), 8u);
    EXPECT_EQ(sizeof(std::size_t), 8u);
    EXPECT_EQ(sizeof(std::time_t), 8u);
}

TEST(TargetPlatform, ChronoKeeps64BitTimeWhereTimeTIsNarrow) {
    // Time arithmetic past 2038 has to go through 64-bit chrono counts, never
    // through time_t or long.
    static_assert(sizeof(std::chrono::system_clock::rep) == 8, "64-bit system_clock");
    static_assert(sizeof(std::chrono::steady_clock::rep) == 8, "64-bit steady_clock");
    static_assert(sizeof(std::chrono::milliseconds::rep) >= 8, "64-bit milliseconds");
    const std::chrono::seconds year2100{INT64_C(4102444800)};
    EXPECT_EQ(std::chrono::duration_cast<std::chrono::milliseconds>(year2100).count(),
              INT64_C(4102444800000));
}

TEST(TargetPlatform, LibcryptoAgreesOnTimeT) {
    // 2023-11-14 22:13:20 UTC. If our time_t were wider than libcrypto's, the
    // argument would land in the wrong registers and the date would be garbage.
    const std::time_t t = 1700000000;
    std::unique_ptr<ASN1_TIME, decltype(&ASN1_TIME_free)> at(ASN1_TIME_set(nullptr, t),
                                                             &ASN1_TIME_free);
    ASSERT_NE(at, nullptr);
    const unsigned char* data = ASN1_STRING_get0_data(at.get());
    std::string text(reinterpret_cast<const char*>(data),
                     static_cast<std::size_t>(ASN1_STRING_length(at.get())));
    EXPECT_EQ(text, "231114221320Z");
}

TEST(TargetPlatform, StartsAChildProgramBuiltForTheSameTarget) {
    // Daemon tests start the built daemon as a child. Under qemu-user that
    // only works when the kernel hands ARM programs to qemu (binfmt_misc);
    // without it every such test fails with "Exec format error".
    ev_test::ChildProcess child(
        ev_test::builtProgram("libs/ev-common/tests/system/ev_common_platform_test"),
        {"--gtest_filter=TargetPlatform.ChronoKeeps64BitTimeWhereTimeTIsNarrow"});
    const auto status = child.wait(std::chrono::seconds(60));
    ASSERT_TRUE(status.has_value()) << "the child program did not finish";
    EXPECT_EQ(*status, 0) << "127 means the program could not be executed: no binfmt_misc "
                             "entry for ARM programs (scripts/install-cross-armhf.sh makes "
                             "one); stderr: "
                          << child.stderrText();
    EXPECT_NE(child.stdoutText().find("[  PASSED  ] 1 test."), std::string::npos)
        << child.stdoutText();
}
