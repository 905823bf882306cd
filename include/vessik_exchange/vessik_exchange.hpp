// Umbrella header: the whole public API of the library.
#pragma once

#include "vessik_exchange/assert.hpp"
#include "vessik_exchange/chunked.hpp"
#include "vessik_exchange/diagnostics.hpp"
#include "vessik_exchange/emission.hpp"
#include "vessik_exchange/error.hpp"
#include "vessik_exchange/event_log.hpp"
#include "vessik_exchange/exchange_words.hpp"
#include "vessik_exchange/host_exchange.hpp"
#include "vessik_exchange/plans.hpp"
#include "vessik_exchange/row_timing.hpp"
#include "vessik_exchange/scalar_words.hpp"
#include "vessik_exchange/topology.hpp"
