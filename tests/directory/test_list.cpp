#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <utility>

#include "directory/list.h"

namespace {

// Addresses sharing a text prefix, so comparing strings would confuse them.
constexpr const char* S1 = "192.168.1.1";
constexpr const char* S2 = "192.168.1.10";
constexpr const char* S3 = "192.168.1.100";

Skeys key(long e, long n) {
    Skeys k;
    k.key[0] = e;
    k.key[1] = n;
    return k;
}
std::pair<long, long> parts(const Skeys& k) { return {NTL::conv<long>(k.key[0]), NTL::conv<long>(k.key[1])}; }
using P = std::pair<long, long>;

class ListTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(list.add(S1, key(3, 101)));
        ASSERT_TRUE(list.add(S2, key(5, 202)));
        ASSERT_TRUE(list.add(S3, key(7, 303)));
    }
    void expect_order(std::initializer_list<const char*> order) {
        ASSERT_EQ(list.get_size(), static_cast<int>(order.size()));
        int pos = 1;
        for (const char* a : order) EXPECT_EQ(list.get_ip(pos++), inet_addr(a)) << a;
        EXPECT_EQ(list.get_ip(0), 0u);
        EXPECT_EQ(list.get_ip(pos), 0u);
    }
    Clist list;
};

TEST_F(ListTest, NewestStationComesFirst) {
    expect_order({S3, S2, S1});
    EXPECT_EQ(parts(list.get_keys(S2)), P(5, 202));
}

TEST_F(ListTest, SecondAddOfAnAddressKeepsTheFirstKey) {
    EXPECT_FALSE(list.add(S1, key(9, 909)));
    expect_order({S3, S2, S1});
    EXPECT_EQ(parts(list.get_keys(S1)), P(3, 101));
}

TEST_F(ListTest, EraseRemovesOnlyThatStation) {
    EXPECT_TRUE(list.erase(S2));
    expect_order({S3, S1});
    EXPECT_EQ(parts(list.get_keys(S2)), P(0, 0));
    EXPECT_FALSE(list.erase(S2));
    EXPECT_FALSE(list.erase("10.0.0.1"));
    expect_order({S3, S1});
}

TEST_F(ListTest, StationComingBackGetsItsNewKey) {
    ASSERT_TRUE(list.erase(S1));
    EXPECT_TRUE(list.add(S1, key(11, 1111)));
    expect_order({S1, S3, S2});
    EXPECT_EQ(parts(list.get_keys(S1)), P(11, 1111));
}

TEST_F(ListTest, ReplacedKeyKeepsItsPlace) {
    EXPECT_FALSE(list.replace(S2, key(5, 202))) << "the same key is no replacement";
    EXPECT_FALSE(list.replace("10.0.0.1", key(9, 909)));
    EXPECT_TRUE(list.replace(S2, key(5, 909)));
    expect_order({S3, S2, S1});
    EXPECT_EQ(parts(list.get_keys(S2)), P(5, 909));
    EXPECT_EQ(parts(list.get_keys("10.0.0.1")), P(0, 0));
}

TEST_F(ListTest, UnknownStationsAndEraseAll) {
    EXPECT_EQ(parts(list.get_keys("10.0.0.1")), P(0, 0));
    list.erase_all();
    expect_order({});
    EXPECT_EQ(parts(list.get_keys(S3)), P(0, 0));
    EXPECT_TRUE(list.add(S3, key(13, 1313)));
    expect_order({S3});
}

}  // namespace
