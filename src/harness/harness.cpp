#include "harness.hpp"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cstdio>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

namespace vessik_exchange::harness {
namespace {

struct Options {
  std::vector<std::string_view> filters;
  bool exact = false;
  bool include_ignored = false;
  bool only_ignored = false;
  bool list = false;
  unsigned threads = 1;
};

void print_usage() {
  std::puts(
      "usage: vessik_exchange_checks [FILTER...] [--exact] [--include-ignored | --ignored]\n"
      "                              [--list] [--test-threads N]\n"
      "  FILTER             run checks whose full name contains FILTER (or equals it with "
      "--exact)");
}

std::optional<Options> parse(int argc, const char* const* argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--exact") {
      options.exact = true;
    } else if (arg == "--include-ignored") {
      options.include_ignored = true;
    } else if (arg == "--ignored") {
      options.only_ignored = true;
    } else if (arg == "--list") {
      options.list = true;
    } else if (arg == "--test-threads" || arg.starts_with("--test-threads=")) {
      std::string_view value;
      if (arg == "--test-threads") {
        if (i + 1 >= argc) return std::nullopt;
        value = argv[++i];
      } else {
        value = arg.substr(std::string_view("--test-threads=").size());
      }
      unsigned threads = 0;
      const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), threads);
      if (ec != std::errc{} || end != value.data() + value.size() || threads == 0)
        return std::nullopt;
      options.threads = threads;
    } else if (arg.starts_with("--")) {
      return std::nullopt;
    } else {
      options.filters.push_back(arg);
    }
  }
  return options;
}

bool matches(const Options& options, std::string_view name) {
  if (options.filters.empty()) return true;
  return std::ranges::any_of(options.filters, [&](std::string_view filter) {
    return options.exact ? name == filter : name.find(filter) != std::string_view::npos;
  });
}

enum class Outcome { Passed, Failed, Ignored };

struct Report {
  Outcome outcome = Outcome::Passed;
  std::string detail;
};

Report run_one(const CheckDescriptor& check) {
  try {
    check.body();
    return {Outcome::Passed, {}};
  } catch (const CheckFailure& failure) {
    return {Outcome::Failed, failure.message};
  } catch (const std::exception& error) {
    return {Outcome::Failed, std::string("exception: ") + error.what()};
  } catch (...) {
    return {Outcome::Failed, "unknown exception"};
  }
}

}  // namespace

void fail_check(std::string_view message, std::source_location where) {
  throw CheckFailure{std::string(where.file_name()) + ":" + std::to_string(where.line()) + ": " +
                     std::string(message)};
}

int run_checks(std::span<const CheckDescriptor> registry, int argc, const char* const* argv) {
  const auto parsed = parse(argc, argv);
  if (!parsed) {
    print_usage();
    return 2;
  }
  const Options& options = *parsed;

  std::vector<const CheckDescriptor*> selected;
  std::size_t filtered_out = 0;
  for (const auto& check : registry) {
    // `--ignored` runs only the ignored checks; the others count as filtered out.
    if (matches(options, check.name) && (!options.only_ignored || check.ignored))
      selected.push_back(&check);
    else
      ++filtered_out;
  }

  if (options.list) {
    for (const auto* check : selected)
      std::printf("%.*s: check\n", static_cast<int>(check->name.size()), check->name.data());
    std::printf("\n%zu checks\n", selected.size());
    return 0;
  }

  const auto runs = [&](const CheckDescriptor& check) {
    return !check.ignored || options.include_ignored || options.only_ignored;
  };

  std::printf("running %zu checks\n", selected.size());
  std::fflush(stdout);

  std::vector<Report> reports(selected.size());
  std::atomic<std::size_t> next{0};
  std::mutex print_mutex;
  const auto worker = [&] {
    for (std::size_t i = next++; i < selected.size(); i = next++) {
      const auto& check = *selected[i];
      Report report;
      if (!runs(check)) {
        report.outcome = Outcome::Ignored;
        report.detail = std::string(check.ignore_reason.value_or(""));
      } else {
        report = run_one(check);
      }
      std::lock_guard lock(print_mutex);
      const int n = static_cast<int>(check.name.size());
      switch (report.outcome) {
        case Outcome::Passed:
          std::printf("check %.*s ... ok\n", n, check.name.data());
          break;
        case Outcome::Failed:
          std::printf("check %.*s ... FAILED\n", n, check.name.data());
          break;
        case Outcome::Ignored:
          if (report.detail.empty())
            std::printf("check %.*s ... ignored\n", n, check.name.data());
          else
            std::printf("check %.*s ... ignored, %s\n", n, check.name.data(),
                        report.detail.c_str());
          break;
      }
      std::fflush(stdout);
      reports[i] = std::move(report);
    }
  };
  const unsigned threads =
      std::max(1u, std::min<unsigned>(options.threads, static_cast<unsigned>(selected.size())));
  std::vector<std::thread> pool;
  for (unsigned t = 1; t < threads; ++t) pool.emplace_back(worker);
  worker();
  for (auto& thread : pool) thread.join();

  std::size_t passed = 0, failed = 0, ignored = 0;
  for (std::size_t i = 0; i < selected.size(); ++i) {
    switch (reports[i].outcome) {
      case Outcome::Passed:
        ++passed;
        break;
      case Outcome::Ignored:
        ++ignored;
        break;
      case Outcome::Failed:
        ++failed;
        break;
    }
  }
  if (failed > 0) {
    std::puts("\nfailures:");
    for (std::size_t i = 0; i < selected.size(); ++i) {
      if (reports[i].outcome != Outcome::Failed) continue;
      const auto& check = *selected[i];
      std::printf("\n---- %.*s (%s:%u) ----\n%s\n", static_cast<int>(check.name.size()),
                  check.name.data(), check.site->file, check.site->line, reports[i].detail.c_str());
    }
  }
  std::printf("\ncheck result: %s. %zu filtered out\n", failed == 0 ? "ok" : "FAILED",
              filtered_out);
  std::printf("checks: %zu passed, %zu failed, %zu skipped\n", passed, failed, ignored);
  return failed == 0 ? 0 : 1;
}

}  // namespace vessik_exchange::harness
