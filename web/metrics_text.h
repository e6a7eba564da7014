// TMetricsText: a page in the Prometheus text format (version 0.0.4), written
// by hand: each family's HELP and TYPE lines, then its samples, label values
// escaped. Used by the metrics page of TWebApi.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>

namespace vistrel {

inline constexpr const char* kMetricsContentType = "text/plain; version=0.0.4; charset=utf-8";

class TMetricsText {
public:
    using TLabels = std::initializer_list<std::pair<std::string_view, std::string_view>>;

    // Starts a family: type is "gauge", "counter" or "histogram".
    void Family(std::string_view name, std::string_view type, std::string_view help);
    void Sample(std::string_view name, TLabels labels, double value);
    void Sample(std::string_view name, TLabels labels, uint64_t value);
    void Sample(std::string_view name, double value) { Sample(name, {}, value); }
    void Sample(std::string_view name, uint64_t value) { Sample(name, {}, value); }

    const std::string& Text() const noexcept { return text_; }

private:
    void Name(std::string_view name, TLabels labels);
    std::string text_;
};

// A number as the format writes it: integers without a fraction, "+Inf".
std::string FormatMetricValue(double value);

}  // namespace vistrel
