#include "rtmfp/netgroups.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "foundation/buffer.hpp"
#include "foundation/crypto.hpp"
#include "rtmfp/tests/test_bytes.hpp"

namespace {

using namespace rtmfp_test;

// A peer id that sorts at `place` among those made here.
rtmfp_peer_id peer(std::uint8_t place) {
    rtmfp_peer_id id{};
    id.fill(0x50);
    id[0] = place;
    return id;
}

std::vector<rtmfp_peer_id> peers(std::initializer_list<std::uint8_t> places) {
    std::vector<rtmfp_peer_id> ids;
    for (std::uint8_t place : places) {
        ids.push_back(peer(place));
    }
    return ids;
}

// --- Group specifiers ------------------------------------------------------

TEST(GroupSpecifier, RefusesWhatIsNoSpecifier) {
    struct refusal {
        const char* text;
        const char* error;
    };
    const refusal cases[] = {
        {"G:0101", "Bad group spec format"},        // 6 characters
        {"G:0101011", "Bad group spec format"},     // odd length
        {"X:01010101", "Bad group spec format"},    // no "G:"
        {"G:0101x101", "Bad group spec format"},    // not a hex digit
        {"G:0101000001", "Bad group spec format"},  // two separators
        {"G:0301020300050201", "Buffer eof"},       // an option past the end
        {"G:01018181", "Buffer eof"},               // a length cut off
        {"G:01010281", "Buffer eof"},               // a type cut off
    };
    for (const refusal& c : cases) {
        EXPECT_EQ(thrown_message([&] { parse_group_specifier(c.text); }), c.error) << c.text;
    }
}

TEST(GroupSpecifier, TheIdentityEndsBeforeTheSeparator) {
    struct parsed {
        const char* text;
        const char* identity;
    };
    const parsed cases[] = {
        // Two one-byte options, the separator, one more.
        {"G:0101010200010e", "G:01010102"},
        // Upper-case digits; a two-byte option (type 0x16 and one value byte).
        {"G:0216AB00", "G:0216AB"},
        // No separator: the whole text names the group.
        {"G:0101010e", "G:0101010e"},
        // A type of two VLU bytes takes its place in the option's length.
        {"G:0381000700", "G:03810007"},
    };
    for (const parsed& c : cases) {
        EXPECT_EQ(parse_group_specifier(c.text).identity, c.identity) << c.text;
    }

    // What follows the separator does not change the group.
    const auto id = [](const char* text) { return rtmfp_group_id(parse_group_specifier(text)); };
    EXPECT_EQ(id("G:0101010200010e"), id("G:01010102000216ff"));
    EXPECT_NE(id("G:0101010200010e"), id("G:0101010300010e"));
    const sha256_digest digest = sha256({byte_view(to_bytes("G:01010102"))});
    EXPECT_EQ(id("G:0101010200010e"), std::string(digest.begin(), digest.end()));
}

// --- The registry ------------------------------------------------------------

TEST(NetGroupRegistry, HandsTheSecondMemberTheFirst) {
    rtmfp_server_netgroups groups;
    EXPECT_EQ(groups.join("g", peer(1), rtmfp_nat_unknown), peers({}));
    EXPECT_EQ(groups.join("g", peer(2), rtmfp_nat_unknown), peers({1}));
    EXPECT_EQ(groups.join("g", peer(3), rtmfp_nat_unknown), peers({1, 2}));
    EXPECT_EQ(groups.join("other", peer(4), rtmfp_nat_unknown), peers({}));
    EXPECT_EQ(groups.member_count({"g", "other", "absent"}), 4);
    EXPECT_EQ(groups.group_count(), 2u);
}

TEST(NetGroupRegistry, AJoinerLearnsItsNeighboursAndTheEasyMembersInTurn) {
    rtmfp_server_netgroups groups;
    // Ten members; the joiner sorts at the 7th place of 11.
    for (std::uint8_t place : {10, 20, 30, 40, 50, 60, 80, 90, 100, 110}) {
        groups.join("g", peer(place), rtmfp_nat_unknown);
    }
    for (std::uint8_t place : {20, 40, 60, 80, 100}) {
        groups.update_nat_type({"g"}, peer(place), rtmfp_nat_none);
    }
    for (std::uint8_t place : {30, 90}) {
        groups.update_nat_type({"g"}, peer(place), rtmfp_nat_cone);
    }
    // Neighbours 40, 50, 60, 80, 90; of those behind no NAT the first
    // three; of those behind cone NATs both.
    EXPECT_EQ(groups.join("g", peer(70), rtmfp_nat_symmetric), peers({20, 30, 40, 50, 60, 80, 90}));
    // The next joiner gets the rest of each set, then its first again.
    EXPECT_EQ(groups.join("g", peer(5), rtmfp_nat_unknown),
              peers({10, 20, 30, 40, 50, 80, 90, 100}));
}

TEST(NetGroupRegistry, MembersWithoutNatAreHandedOutInRotation) {
    rtmfp_server_netgroups groups;
    for (std::uint8_t place = 1; place <= 5; ++place) {
        groups.join("g", peer(place), rtmfp_nat_none);
    }
    // Five members are all neighbours; a larger group shows the rotation.
    for (std::uint8_t place = 100; place <= 104; ++place) {
        groups.join("g", peer(place), rtmfp_nat_unknown);
    }
    const std::vector<rtmfp_peer_id> neighbours = peers({101, 102, 103, 104});
    const auto without_neighbours = [&](std::vector<rtmfp_peer_id> got) {
        std::erase_if(got, [&](const rtmfp_peer_id& id) { return id[0] >= 100; });
        return got;
    };
    EXPECT_EQ(without_neighbours(groups.join("g", peer(200), rtmfp_nat_unknown)), peers({1, 2, 3}));
    EXPECT_EQ(without_neighbours(groups.join("g", peer(201), rtmfp_nat_unknown)), peers({1, 4, 5}));
    EXPECT_EQ(without_neighbours(groups.join("g", peer(202), rtmfp_nat_unknown)), peers({2, 3, 4}));
}

TEST(NetGroupRegistry, LeavingMovesTheTurnOnAndDropsAnEmptyGroup) {
    rtmfp_server_netgroups groups;
    for (std::uint8_t place : {1, 2, 3, 4, 5, 100, 101, 102}) {
        groups.join("g", peer(place), rtmfp_nat_unknown);
    }
    for (std::uint8_t place = 1; place <= 5; ++place) {
        groups.update_nat_type({"g"}, peer(place), rtmfp_nat_none);
    }
    EXPECT_EQ(groups.join("g", peer(200), rtmfp_nat_unknown), peers({1, 2, 3, 100, 101, 102}));
    groups.leave({"g", "never joined"}, peer(200));
    // The turn stood on 4, which leaves: it goes on at 5.
    groups.leave({"g"}, peer(4));
    EXPECT_EQ(groups.join("g", peer(201), rtmfp_nat_unknown), peers({1, 2, 5, 100, 101, 102}));
    EXPECT_EQ(groups.member_count({"g"}), 8);

    for (std::uint8_t place : {1, 2, 3, 5, 100, 101, 102, 201}) {
        groups.leave({"g"}, peer(place));
    }
    EXPECT_EQ(groups.member_count({"g"}), 0);
    EXPECT_EQ(groups.group_count(), 0u);
    EXPECT_EQ(groups.join("g", peer(9), rtmfp_nat_unknown), peers({}));
}

TEST(NetGroupRegistry, ANatTypeLearntLaterCountsForLaterJoiners) {
    rtmfp_server_netgroups groups;
    for (std::uint8_t place = 1; place <= 8; ++place) {
        groups.join("g", peer(place), rtmfp_nat_unknown);
    }
    groups.join("other", peer(1), rtmfp_nat_unknown);
    // Places 1 and 2 are no neighbours of a joiner at 200.
    groups.update_nat_type({"g", "absent"}, peer(1), rtmfp_nat_cone);
    groups.update_nat_type({"g"}, peer(2), rtmfp_nat_symmetric);
    groups.update_nat_type({"g"}, peer(99), rtmfp_nat_none);  // not a member
    EXPECT_EQ(groups.join("g", peer(200), rtmfp_nat_unknown), peers({1, 6, 7, 8}));
    EXPECT_EQ(groups.member_count({"g"}), 9);
    EXPECT_EQ(groups.join("other", peer(9), rtmfp_nat_unknown), peers({1}));
}

}  // namespace
