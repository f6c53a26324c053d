#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "net/net.h"

void Cnet::create_file() {
    if (transcript >= 0) close(transcript);
    file_name = dotted(my_IPaddr) + ".txt";
    // A plain file of our own: never through a symlink planted in the folder,
    // readable by the owner only, not inherited. It stays open for the run, so
    // the name is looked up (and could be swapped) only here. Without it the
    // station runs on and records nothing, said once.
    transcript = open(file_name.c_str(),
                      O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0600);
    struct stat st {};
    if (transcript >= 0 && (fstat(transcript, &st) != 0 || !S_ISREG(st.st_mode))) {
        close(transcript);
        transcript = -1;
    }
    if (transcript < 0) {
        std::string line = "Subor " + file_name + " sa nepodarilo otvorit.";
        say(line.c_str());
        return;
    }
    fchmod(transcript, 0600);  // a transcript left by an earlier run may be readable by all
}

void Cnet::save_to_file(const char* text) {
    if (transcript < 0) return;
    // The station keeps Windows-1250 text inside; the file is for a Linux
    // reader, so it is written as UTF-8.
    std::string record = plat::cp1250_to_utf8(text) + '\n';
    for (size_t done = 0; done < record.size();) {
        ssize_t w = write(transcript, record.data() + done, record.size() - done);
        if (w <= 0) break;
        done += static_cast<size_t>(w);
    }
}
