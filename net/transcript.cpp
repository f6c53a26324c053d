#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "net/net.h"

// Opens the transcript as a plain file of our own: never through a symlink
// planted in the folder, readable by the owner only, not inherited. -1 when
// that cannot be, said once; the station then records nothing more.
int Cnet::open_transcript(int flags) {
    int fd = open(file_name.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | flags, 0600);
    struct stat st {};
    if (fd >= 0 && (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))) {
        close(fd);
        fd = -1;
    }
    if (fd < 0) {
        std::string line = "Subor " + file_name + " sa nepodarilo otvorit.";
        say(line.c_str());
        file_name.clear();
    }
    return fd;
}

void Cnet::create_file() {
    file_name = dotted(my_IPaddr) + ".txt";
    int fd = open_transcript(O_TRUNC);
    if (fd < 0) return;
    fchmod(fd, 0600);  // a transcript left by an earlier run may be readable by all
    close(fd);
}

void Cnet::save_to_file(const char* text) {
    if (file_name.empty()) return;
    int fd = open_transcript(O_APPEND);
    if (fd < 0) return;
    // The station keeps Windows-1250 text inside; the file is for a Linux
    // reader, so it is written as UTF-8.
    std::string record = plat::cp1250_to_utf8(text) + '\n';
    for (size_t done = 0; done < record.size();) {
        ssize_t w = write(fd, record.data() + done, record.size() - done);
        if (w <= 0) break;
        done += static_cast<size_t>(w);
    }
    close(fd);
}
