#include "web/metrics_text.h"

#include <cmath>
#include <cstdio>

namespace vistrel {

std::string FormatMetricValue(double value) {
    if (std::isinf(value)) return value > 0 ? "+Inf" : "-Inf";
    if (std::isnan(value)) return "NaN";
    if (value == std::floor(value) && std::fabs(value) < 1e15) {
        char text[32];
        std::snprintf(text, sizeof text, "%.0f", value);
        return text;
    }
    char text[32];
    std::snprintf(text, sizeof text, "%.9g", value);
    return text;
}

void TMetricsText::Family(std::string_view name, std::string_view type, std::string_view help) {
    text_ += "# HELP ";
    text_ += name;
    text_ += ' ';
    // HELP text: backslash and line feed escaped.
    for (char c : help) {
        if (c == '\\') text_ += "\\\\";
        else if (c == '\n') text_ += "\\n";
        else text_ += c;
    }
    text_ += "\n# TYPE ";
    text_ += name;
    text_ += ' ';
    text_ += type;
    text_ += '\n';
}

void TMetricsText::Name(std::string_view name, TLabels labels) {
    text_ += name;
    if (labels.size() == 0) return;
    text_ += '{';
    bool first = true;
    for (const auto& [key, value] : labels) {
        if (!first) text_ += ',';
        first = false;
        text_ += key;
        text_ += "=\"";
        for (char c : value) {
            if (c == '\\') text_ += "\\\\";
            else if (c == '"') text_ += "\\\"";
            else if (c == '\n') text_ += "\\n";
            else text_ += c;
        }
        text_ += '"';
    }
    text_ += '}';
}

void TMetricsText::Sample(std::string_view name, TLabels labels, double value) {
    Name(name, labels);
    text_ += ' ';
    text_ += FormatMetricValue(value);
    text_ += '\n';
}

void TMetricsText::Sample(std::string_view name, TLabels labels, uint64_t value) {
    Name(name, labels);
    text_ += ' ';
    text_ += std::to_string(value);
    text_ += '\n';
}

}  // namespace vistrel
