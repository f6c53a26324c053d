#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <vector>

#include "directory/list.h"

TEST(List, NewestFirstOneRecordPerAddressANewKeyKeepsItsPlace) {
    // Addresses sharing a text prefix, so that comparing text would confuse them.
    const char *s1 = "192.168.1.1", *s2 = "192.168.1.10", *s3 = "192.168.1.100", *none = "10.0.0.1";
    enum Op { ADD, REPLACE, ERASE, ERASE_ALL };
    // What is done with which key, what it returns, the key then held for
    // that address, and the list afterwards, newest first.
    const struct { Op op; const char* address; long e, n; bool returns; long held_e, held_n;
                   std::vector<const char*> order; } steps[] = {
        {ADD, s1, 3, 101, true, 3, 101, {s1}},
        {ADD, s2, 5, 202, true, 5, 202, {s2, s1}},
        {ADD, s3, 7, 303, true, 7, 303, {s3, s2, s1}},
        {ADD, s1, 9, 909, false, 3, 101, {s3, s2, s1}},      // a second add keeps the first key
        {REPLACE, s2, 5, 202, false, 5, 202, {s3, s2, s1}},  // the same key is no replacement
        {REPLACE, none, 9, 909, false, 0, 0, {s3, s2, s1}},
        {REPLACE, s2, 5, 909, true, 5, 909, {s3, s2, s1}},
        {ERASE, s2, 0, 0, true, 0, 0, {s3, s1}},
        {ERASE, s2, 0, 0, false, 0, 0, {s3, s1}},
        {ADD, s2, 11, 1111, true, 11, 1111, {s2, s3, s1}},  // back, newest now
        {ERASE_ALL, s3, 0, 0, true, 0, 0, {}},
        {ADD, s3, 13, 1313, true, 13, 1313, {s3}},
    };
    Clist list;
    for (const auto& s : steps) {
        const Skeys k{{NTL::ZZ(s.e), NTL::ZZ(s.n)}};
        const bool r = s.op == ADD ? list.add(s.address, k) : s.op == REPLACE ? list.replace(s.address, k)
                     : s.op == ERASE ? list.erase(s.address) : (list.erase_all(), true);
        const Skeys held = list.get_keys(s.address);
        EXPECT_TRUE(r == s.returns && held.key[0] == s.held_e && held.key[1] == s.held_n) << "step " << &s - steps;
        ASSERT_EQ(list.get_size(), static_cast<int>(s.order.size()));
        for (size_t p = 0; p < s.order.size(); ++p)
            EXPECT_EQ(list.get_ip(static_cast<int>(p) + 1), inet_addr(s.order[p]));
        EXPECT_EQ(list.get_ip(0), 0u);
        EXPECT_EQ(list.get_ip(list.get_size() + 1), 0u);
    }
}
