#pragma once
#include <random>

// When a station sends its HELLO again. One HELLO can be lost (a link that is
// down, a busy receiver), and a station that never hears one never lists the
// sender: so the HELLO is repeated about 1 s and 4 s after start, then about
// every INTERVAL_MS; a station that gets a new address starts over. Each delay varies by up to a twelfth either way, so that
// stations started together drift apart instead of announcing together.
class Cannounce {
public:
    static constexpr int INTERVAL_MS = 30000;
    static constexpr int LONGEST_MS = INTERVAL_MS + INTERVAL_MS / 12;  // 32.5 s

    explicit Cannounce(unsigned seed) : random_(seed) {}

    // Milliseconds from the latest HELLO to the next one.
    int next_ms() {
        const int base = sent_ == 0 ? 1000 : sent_ == 1 ? 3000 : INTERVAL_MS;
        if (sent_ < 2) ++sent_;
        std::uniform_int_distribution<int> jitter(-base / 12, base / 12);
        return base + jitter(random_);
    }

    // The station has a new address: soon twice again, then as usual.
    void restart() { sent_ = 0; }

private:
    std::mt19937 random_;
    int sent_ = 0;
};
