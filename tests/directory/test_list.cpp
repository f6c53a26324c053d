#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <vector>

#include "directory/list.h"

namespace {

// Addresses sharing a text prefix, so comparing strings would confuse them.
constexpr const char *S1 = "192.168.1.1", *S2 = "192.168.1.10", *S3 = "192.168.1.100", *NONE = "10.0.0.1";

enum Op { ADD, REPLACE, ERASE, ERASE_ALL };
struct Step {
    Op op;
    const char* address;
    long e, n;  // the key added or replaced
    bool returns;
    long held_e, held_n;  // the key held for `address` afterwards
    std::vector<const char*> order;  // the list afterwards, newest first
};

TEST(List, NewestFirstOneRecordPerAddressNewKeyKeepsItsPlace) {
    const Step steps[] = {
        {ADD, S1, 3, 101, true, 3, 101, {S1}},
        {ADD, S2, 5, 202, true, 5, 202, {S2, S1}},
        {ADD, S3, 7, 303, true, 7, 303, {S3, S2, S1}},
        {ADD, S1, 9, 909, false, 3, 101, {S3, S2, S1}},  // a second add keeps the first key
        {REPLACE, S2, 5, 202, false, 5, 202, {S3, S2, S1}},  // the same key is no replacement
        {REPLACE, NONE, 9, 909, false, 0, 0, {S3, S2, S1}},
        {REPLACE, S2, 5, 909, true, 5, 909, {S3, S2, S1}},
        {ERASE, S2, 0, 0, true, 0, 0, {S3, S1}},
        {ERASE, S2, 0, 0, false, 0, 0, {S3, S1}},
        {ERASE, NONE, 0, 0, false, 0, 0, {S3, S1}},
        {ADD, S2, 11, 1111, true, 11, 1111, {S2, S3, S1}},  // back with a new key, newest now
        {ERASE_ALL, S3, 0, 0, true, 0, 0, {}},
        {ADD, S3, 13, 1313, true, 13, 1313, {S3}},
    };
    Clist list;
    int i = 0;
    for (const Step& s : steps) {
        SCOPED_TRACE(i++);
        Skeys k;
        k.key[0] = s.e;
        k.key[1] = s.n;
        bool r = s.op == ADD ? list.add(s.address, k) : s.op == REPLACE ? list.replace(s.address, k)
               : s.op == ERASE ? list.erase(s.address) : (list.erase_all(), true);
        EXPECT_EQ(r, s.returns);
        EXPECT_EQ(list.get_keys(s.address).key[0], s.held_e);
        EXPECT_EQ(list.get_keys(s.address).key[1], s.held_n);
        ASSERT_EQ(list.get_size(), static_cast<int>(s.order.size()));
        for (size_t p = 0; p < s.order.size(); ++p) EXPECT_EQ(list.get_ip(static_cast<int>(p) + 1), inet_addr(s.order[p]));
        EXPECT_EQ(list.get_ip(0), 0u);
        EXPECT_EQ(list.get_ip(list.get_size() + 1), 0u);
    }
}

}  // namespace
