// A clock that moves only when the test says so, or by a fixed amount at every reading.
#pragma once

#include <ctime>

#include "delay/DelayClock.h"

namespace kalvoran::delay::test {

class FakeDelayClock final : public CDelayClock {
public:
    explicit FakeDelayClock(std::time_t start = 1'000'000) : m_now(start) {}

    std::time_t Now() override {
        ++m_readings;
        const std::time_t reading = m_now;
        m_now += m_stepPerReading;
        return reading;
    }
    int MillisecondsToNextSecond() override { return m_millisecondsToNextSecond; }

    void Advance(std::time_t seconds) { m_now += seconds; }
    void SetStepPerReading(std::time_t seconds) { m_stepPerReading = seconds; }
    void SetMillisecondsToNextSecond(int milliseconds) {
        m_millisecondsToNextSecond = milliseconds;
    }
    int Readings() const { return m_readings; }

private:
    std::time_t m_now;
    std::time_t m_stepPerReading = 0;
    int m_millisecondsToNextSecond = 1000;
    int m_readings = 0;
};

}  // namespace kalvoran::delay::test
