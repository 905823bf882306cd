// Runs the self-check executable the way a user does and checks what it reports.
#include "harness/harness.hpp"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <memory>
#include <set>
#include <string>

#include "lib/registry.hpp"

namespace vessik_exchange {
namespace {

struct RunResult {
  int status;
  std::string output;
};

RunResult run_selfcheck(const std::string& arguments) {
  const std::string command = std::string(VESSIK_EXCHANGE_SELFCHECK) + " " + arguments + " 2>&1";
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
  std::string output;
  std::array<char, 4096> buffer{};
  std::size_t n = 0;
  while ((n = std::fread(buffer.data(), 1, buffer.size(), pipe.get())) > 0)
    output.append(buffer.data(), n);
  const int raw = pclose(pipe.release());
  return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, output};
}

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

void passing_body() {}
void failing_body() {
  VX_CHECK_EQ(1 + 1, 3);
}
void erroring_body() {
  (void)VX_OK(Result<int>(fail(ExchangeError::tile(7))));
}
const harness::CheckSite kSite{"tests/harness_test.cpp", 1};

TEST(Harness, ReportsFailuresAndSetsTheExitStatus) {
  const harness::CheckDescriptor registry[] = {
      {"a::erroring", false, std::nullopt, &kSite, &erroring_body},
      {"a::failing", false, std::nullopt, &kSite, &failing_body},
      {"a::ignored", true, std::string_view("manual CPU benchmark"), &kSite, &failing_body},
      {"a::passing", false, std::nullopt, &kSite, &passing_body},
  };
  const char* argv[] = {"selfcheck"};
  testing::internal::CaptureStdout();
  const int status = harness::run_checks(registry, 1, argv);
  const std::string output = testing::internal::GetCapturedStdout();
  EXPECT_EQ(status, 1);
  EXPECT_TRUE(contains(output, "check a::failing ... FAILED")) << output;
  EXPECT_TRUE(contains(output, "1 + 1 == 3")) << output;
  EXPECT_TRUE(contains(output, "ExchangeError met: Tile(7)")) << output;
  EXPECT_TRUE(contains(output, "check a::ignored ... ignored, manual CPU benchmark")) << output;
  EXPECT_TRUE(contains(output, "1 passed, 2 failed, 1 skipped")) << output;

  const char* only_passing[] = {"selfcheck", "passing", "--include-ignored"};
  testing::internal::CaptureStdout();
  EXPECT_EQ(harness::run_checks(registry, 3, only_passing), 0);
  EXPECT_TRUE(contains(testing::internal::GetCapturedStdout(), "1 passed, 0 failed, 0 skipped"));

  const char* ignored_only[] = {"selfcheck", "--ignored"};
  testing::internal::CaptureStdout();
  EXPECT_EQ(harness::run_checks(registry, 2, ignored_only), 1);
  EXPECT_TRUE(contains(testing::internal::GetCapturedStdout(), "0 passed, 1 failed, 0 skipped"));
}

TEST(Registry, IsSortedAndUnique) {
  const auto registry = check_registry();
  EXPECT_EQ(registry.size(), 56u);
  EXPECT_EQ(std::count_if(registry.begin(), registry.end(),
                          [](const auto& check) { return check.ignored; }),
            2);
  for (std::size_t i = 1; i < registry.size(); ++i)
    EXPECT_LT(registry[i - 1].name, registry[i].name) << "registry out of order at " << i;
  for (const auto& check : registry) {
    EXPECT_NE(check.body, nullptr);
    EXPECT_NE(check.site, nullptr);
    EXPECT_EQ(check.ignored, check.ignore_reason.has_value());
    if (check.ignored) {
      EXPECT_EQ(*check.ignore_reason, "manual CPU benchmark");
    }
  }
}

TEST(Harness, ExactFilterRunsOneCheck) {
  const auto result = run_selfcheck(
      "--exact tests::scalar_instruction_encoders_preserve_operands_and_reject_overflow");
  EXPECT_EQ(result.status, 0) << result.output;
  EXPECT_TRUE(contains(result.output, "1 passed, 0 failed")) << result.output;
}

TEST(Harness, SubstringFilterAndList) {
  const auto listed = run_selfcheck("--list encodes_supervisor");
  EXPECT_EQ(listed.status, 0);
  EXPECT_TRUE(contains(listed.output, "tests::encodes_supervisor_send_fields: check"));
  EXPECT_FALSE(contains(listed.output, "arvel_mapping"));

  const auto none = run_selfcheck("no_check_has_this_name");
  EXPECT_EQ(none.status, 0);
  EXPECT_TRUE(contains(none.output, "0 passed, 0 failed")) << none.output;
}

TEST(Harness, RejectsUnknownOptions) {
  EXPECT_EQ(run_selfcheck("--bogus").status, 2);
  EXPECT_EQ(run_selfcheck("--test-threads 0").status, 2);
}

TEST(Harness, NoFilterRunsEveryCheckButTheTwoBenchmarks) {
  const auto run = run_selfcheck("--test-threads 2");
  EXPECT_EQ(run.status, 0) << run.output;
  EXPECT_TRUE(contains(run.output, "54 passed, 0 failed, 2 skipped")) << run.output;
  for (const char* name : {"encoding::tests::benchmark_incremental_encoding",
                           "encoding::tests::benchmark_receive_validation"})
    EXPECT_TRUE(
        contains(run.output, std::string("check ") + name + " ... ignored, manual CPU benchmark"))
        << name;
}

}  // namespace
}  // namespace vessik_exchange
