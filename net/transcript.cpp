#include <fstream>

#include "net/net.h"

void Cnet::create_file() {
    file_name = dotted(my_IPaddr) + ".txt";
    std::ofstream(file_name, std::ios::trunc);
}

void Cnet::save_to_file(const char* text) {
    if (file_name.empty()) return;
    std::ofstream out(file_name, std::ios::app);
    // The station keeps Windows-1250 text inside; the file is for a Linux
    // reader, so it is written as UTF-8.
    out << plat::cp1250_to_utf8(text) << '\n';
    out.flush();
}
