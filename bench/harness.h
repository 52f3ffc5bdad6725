#pragma once

// A small measuring harness: samples in one run, order statistics, and one report line per
// figure with its goal and the ratio. Nothing here knows a result in advance.

#include <QString>

#include <chrono>
#include <cstdio>
#include <vector>

namespace quenlo::bench {

using Clock = std::chrono::steady_clock;

inline double msSince(Clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

/// \brief Durations in milliseconds, with the order statistics a report needs.
class Samples final {
public:
    void add(double ms) { m_values.push_back(ms); }
    std::size_t size() const { return m_values.size(); }
    /// The \a q quantile (0..1) by the nearest-rank rule; 0.5 is the median.
    double quantile(double q) const;
    double median() const { return quantile(0.5); }
    double max() const;
    double mean() const;
    /// How many samples exceed \a ms.
    std::size_t countAbove(double ms) const;

private:
    std::vector<double> m_values;
};

/// How a goal compares the measured value with its bound.
enum class Goal {
    Below, ///< value < bound
    AtMost, ///< value <= bound
    AtLeast, ///< value >= bound
};

/// \brief Prints one figure: name, value and unit, the goal, value/bound and MET or MISSED.
///
/// Returns whether the goal was met; the caller only counts misses for the summary.
bool report(const QString &name, double value, const QString &unit, Goal goal, double bound);
/// A figure without a goal (context for the others).
void note(const QString &name, double value, const QString &unit);
/// A heading line between groups of figures.
void heading(const QString &text);

} // namespace quenlo::bench
