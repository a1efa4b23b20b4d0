// The monitoring endpoint's three documents, formatted from a snapshot (no lock is held):
// /metrics in the Prometheus text format 0.0.4, /status.json, and the status page "/" (HTML with
// no scripts, refreshed every 10 s). None shows an address or a password. Thread rules: none.
#pragma once

#include <string>

#include "monitoring/snapshot.h"

namespace pv {

constexpr const char* kMetricsContentType = "text/plain; version=0.0.4; charset=utf-8";

std::string MetricsText(const MonitoringSnapshot& snap);
std::string StatusJson(const MonitoringSnapshot& snap);
std::string StatusPage(const MonitoringSnapshot& snap);

}  // namespace pv
