#include "harness.h"

#include <algorithm>
#include <cmath>
#include <numeric>

namespace quenlo::bench {

double Samples::quantile(double q) const
{
    if (m_values.empty())
        return std::nan("");
    std::vector<double> sorted = m_values;
    std::sort(sorted.begin(), sorted.end());
    // Nearest rank: the smallest value with at least q of the samples at or below it.
    const auto rank = std::size_t(std::ceil(q * double(sorted.size())));
    return sorted[std::clamp<std::size_t>(rank, 1, sorted.size()) - 1];
}

double Samples::max() const
{
    return m_values.empty() ? std::nan("") : *std::max_element(m_values.begin(), m_values.end());
}

double Samples::mean() const
{
    if (m_values.empty())
        return std::nan("");
    return std::accumulate(m_values.begin(), m_values.end(), 0.0) / double(m_values.size());
}

std::size_t Samples::countAbove(double ms) const
{
    return std::size_t(std::count_if(m_values.begin(), m_values.end(), [ms](double v) { return v > ms; }));
}

namespace {

const char *goalSign(Goal goal)
{
    switch (goal) {
    case Goal::Below:
        return "<";
    case Goal::AtMost:
        return "<=";
    case Goal::AtLeast:
        return ">=";
    }
    return "?";
}

bool met(Goal goal, double value, double bound)
{
    switch (goal) {
    case Goal::Below:
        return value < bound;
    case Goal::AtMost:
        return value <= bound;
    case Goal::AtLeast:
        return value >= bound;
    }
    return false;
}

} // namespace

bool report(const QString &name, double value, const QString &unit, Goal goal, double bound)
{
    const bool ok = met(goal, value, bound);
    std::printf("  %-44s %10.3f %-3s goal %s %g %-3s ratio %.3f  %s\n", qUtf8Printable(name), value,
        qUtf8Printable(unit), goalSign(goal), bound, qUtf8Printable(unit), value / bound, ok ? "MET" : "MISSED");
    std::fflush(stdout);
    return ok;
}

void note(const QString &name, double value, const QString &unit)
{
    std::printf("  %-44s %10.3f %s\n", qUtf8Printable(name), value, qUtf8Printable(unit));
    std::fflush(stdout);
}

void heading(const QString &text)
{
    std::printf("%s\n", qUtf8Printable(text));
    std::fflush(stdout);
}

} // namespace quenlo::bench
