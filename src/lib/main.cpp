// Entry point of the self-check executable: hands the registry to the harness.
#include "registry.hpp"

int main(int argc, char** argv) {
  return vessik_exchange::harness::run_checks(vessik_exchange::check_registry(), argc, argv);
}
