#pragma once
// When each stage of a message passes through this station, for the
// benchmarks' timeline. Only a build configured with -DCIBULA_TRACE=ON records
// anything; in every other build TRACE_POINT is nothing at all.
//
// A point reads CLOCK_MONOTONIC (the vDSO, no system call) into a buffer made
// and touched before the station runs, so that recording adds no system call
// and no page fault to the path it times. At exit the events go, one line
// each ("STAGE NS PEER"), to the file that CIBULA_TRACE_FILE names.
#ifdef CIBULA_TRACE
#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace trace {

// The stages, in the order a message passes them: input (a chunk of standard
// input read), onion (every layer of the writer's onion sealed), route_saved
// (the route in the transcript), socket (send_unicast about to make its
// socket), connecting (connect() returned), connected (the connect found
// done, at once or by the loop), sent (the last byte handed over, before
// close()), accepted, eof (an incoming connection read to its end), peeled,
// relayed (the PRENOS line put in its pane), shown (an incoming message's line
// put in its pane), doba (the DOBA PRENOSU line about to be put in its pane),
// doba_saved (it and its transcript record written) and flushed (the pane
// lines of a loop turn written to standard output). peer: the address
// (network byte order) the stage concerns (where to, from where, the next
// hop), or 0.
#define TRACE_STAGES(X) \
    X(input) X(onion) X(route_saved) X(socket) X(connecting) X(connected) X(sent) X(accepted) X(eof) X(peeled) \
    X(relayed) X(shown) X(doba) X(doba_saved) X(flushed)

#define TRACE_ENUM(name) name,
enum Stage : uint8_t { TRACE_STAGES(TRACE_ENUM) };
#undef TRACE_ENUM

class Recorder {
public:
    static constexpr size_t CAPACITY = 1 << 16;  // some 8,000 messages through a relay

    Recorder() : events_(CAPACITY) {}  // value-initialised: every page touched now
    ~Recorder() { save(); }

    void record(Stage stage, uint32_t peer) {
        if (count_ == CAPACITY) return;
        timespec t;
        clock_gettime(CLOCK_MONOTONIC, &t);
        events_[count_++] = {t.tv_sec * 1000000000LL + t.tv_nsec, peer, stage};
    }

private:
    struct Event {
        int64_t ns;
        uint32_t peer;
        Stage stage;
    };

    void save() const {
        static const char* const names[] = {
#define TRACE_NAME(name) #name,
            TRACE_STAGES(TRACE_NAME)
#undef TRACE_NAME
        };
        const char* path = std::getenv("CIBULA_TRACE_FILE");
        if (!path) return;
        // Not through a planted symlink, and for the owner only, like the transcript.
        int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
        FILE* f = fd < 0 ? nullptr : fdopen(fd, "w");
        if (!f) {
            if (fd >= 0) close(fd);
            std::fprintf(stderr, "cibula: trace file %s cannot be written\n", path);
            return;
        }
        for (size_t i = 0; i < count_; ++i) {
            const auto* a = reinterpret_cast<const unsigned char*>(&events_[i].peer);
            std::fprintf(f, "%s %lld %u.%u.%u.%u\n", names[events_[i].stage], static_cast<long long>(events_[i].ns),
                         a[0], a[1], a[2], a[3]);
        }
        if (count_ == CAPACITY) std::fprintf(f, "full %lld 0.0.0.0\n", static_cast<long long>(events_.back().ns));
        std::fclose(f);
    }

    std::vector<Event> events_;
    size_t count_ = 0;
};

inline Recorder recorder;

}  // namespace trace

#define TRACE_POINT(stage, peer) ::trace::recorder.record(::trace::stage, (peer))
#else
#define TRACE_POINT(stage, peer) ((void)0)
#endif
