#include "foundation/id_map.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <vector>

namespace {

TEST(IdMap, FindsIdsOnBothSidesOfTheFastRangeAndIteratesInOrder) {
    id_map<std::unique_ptr<int>> map;
    for (std::uint32_t id : {300u, 0u, 127u, 128u, 5u}) {
        EXPECT_TRUE(map.insert(id, std::make_unique<int>(static_cast<int>(id))));
    }
    auto duplicate = std::make_unique<int>(-1);
    EXPECT_FALSE(map.insert(127, std::move(duplicate)));
    ASSERT_TRUE(duplicate) << "a refused value stays with the caller";
    EXPECT_EQ(*map.find(127), 127) << "the first value is kept";

    for (std::uint32_t id : {0u, 5u, 127u, 128u, 300u}) {
        ASSERT_NE(map.find(id), nullptr) << id;
        EXPECT_EQ(*map.find(id), static_cast<int>(id));
    }
    EXPECT_EQ(map.find(6), nullptr);
    EXPECT_EQ(map.find(129), nullptr);

    std::vector<std::uint32_t> order;
    for (const auto& [id, value] : map) {
        order.push_back(id);
    }
    EXPECT_EQ(order, (std::vector<std::uint32_t>{0, 5, 127, 128, 300}));

    auto taken = map.extract(5);
    ASSERT_TRUE(taken);
    EXPECT_EQ(*taken, 5);
    EXPECT_EQ(map.find(5), nullptr);
    map.erase(300);
    EXPECT_EQ(map.find(300), nullptr);
    EXPECT_FALSE(map.extract(999));
    EXPECT_EQ(map.size(), 3u);

    map.clear();
    EXPECT_TRUE(map.empty());
    EXPECT_EQ(map.find(0), nullptr);
    EXPECT_TRUE(map.insert(0, std::make_unique<int>(9))) << "a cleared id can be used again";
}

}  // namespace
