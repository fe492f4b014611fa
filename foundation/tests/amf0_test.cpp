#include "foundation/amf0.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <typeinfo>
#include <utility>

#include "platform/testing/hex.hpp"

namespace {

std::string bytes(std::string_view text) {
    return platform::testing::hex_bytes(text);
}

std::string encoded(const amf0_based& value) {
    own_buffer_writer out;
    value.write(out);
    return {reinterpret_cast<const char*>(out.data), out.size};
}

template <class T>
T& as(const std::unique_ptr<amf0_based>& value) {
    auto* typed = dynamic_cast<T*>(value.get());
    if (typed == nullptr) {
        throw std::logic_error("unexpected AMF0 type");
    }
    return *typed;
}

// The exception's text, and whether it was a bounds error.
std::pair<std::string, bool> failure_of(std::function<void()> f) {
    try {
        f();
    } catch (const buffer_over_range& e) {
        return {e.what(), true};
    } catch (const std::exception& e) {
        return {e.what(), false};
    }
    return {"nothing thrown", false};
}

const std::string one = "3F F0 00 00 00 00 00 00";

TEST(Amf0, EveryTypeRoundTripsThroughItsBytes) {
    struct round_trip {
        const char* name;
        std::string wire;
        std::function<std::unique_ptr<amf0_based>()> build;
    } cases[] = {
        {"number", bytes("00 " + one), [] { return std::make_unique<amf0_number>(1.0); }},
        {"negative number", bytes("00 C0 04 00 00 00 00 00 00"),
         [] { return std::make_unique<amf0_number>(-2.5); }},
        {"true", bytes("01 01"), [] { return std::make_unique<amf0_bool>(true); }},
        {"false", bytes("01 00"), [] { return std::make_unique<amf0_bool>(false); }},
        {"string", bytes("02 00 07 'connect'"),
         [] { return std::make_unique<amf0_string>("connect"); }},
        {"empty string", bytes("02 00 00"), [] { return std::make_unique<amf0_string>(""); }},
        {"empty object", bytes("03 00 00 09"), [] { return std::make_unique<amf0_object>(); }},
        {"object", bytes("03 00 01 'a' 00 " + one + " 00 00 09"),
         [] {
             auto object = std::make_unique<amf0_object>();
             object->insert("a", std::make_unique<amf0_number>(1.0));
             return object;
         }},
        {"null", bytes("05"), [] { return std::make_unique<amf0_null>(); }},
        {"undefined", bytes("06"), [] { return std::make_unique<amf0_undefined>(); }},
        {"reference", bytes("07 01 02"), [] { return std::make_unique<amf0_reference>(258); }},
        {"mixed array", bytes("08 00 00 00 02 00 01 'x' 05 00 02 'ab' 01 01"),
         [] {
             auto array = std::make_unique<amf0_mixed_array>();
             array->insert("ab", std::make_unique<amf0_bool>(true));
             array->insert("x", std::make_unique<amf0_null>());
             return array;
         }},
        {"empty mixed array", bytes("08 00 00 00 00"),
         [] { return std::make_unique<amf0_mixed_array>(); }},
        {"strict array", bytes("0A 00 00 00 02 06 05"),
         [] {
             auto array = std::make_unique<amf0_array>();
             array->values.push_back(nullptr);
             array->values.push_back(std::make_unique<amf0_null>());
             return array;
         }},
        {"date", bytes("0B " + one + " FF C4"),
         [] { return std::make_unique<amf0_date>(1.0, -60); }},
        {"long string", bytes("0C 00 00 00 03 'abc'"),
         [] { return std::make_unique<amf0_long_string>("abc"); }},
        {"unsupported", bytes("0D"), [] { return std::make_unique<amf0_unsupport>(); }},
        {"xml", bytes("0F 00 00 00 04 '<a/>'"), [] { return std::make_unique<amf0_xml>("<a/>"); }},
        {"nested", bytes("03 00 01 'l' 0A 00 00 00 01 03 00 01 'k' 02 00 01 'v' 00 00 09 00 00 09"),
         [] {
             auto inner = std::make_unique<amf0_object>();
             inner->insert("k", std::make_unique<amf0_string>("v"));
             auto list = std::make_unique<amf0_array>();
             list->values.push_back(std::move(inner));
             auto outer = std::make_unique<amf0_object>();
             outer->insert("l", std::move(list));
             return outer;
         }},
    };
    for (const auto& c : cases) {
        auto built = c.build();
        EXPECT_EQ(encoded(*built), c.wire) << c.name;

        buffer_reader in(c.wire);
        auto decoded = amf0_read_value(in);
        ASSERT_NE(decoded, nullptr) << c.name;
        EXPECT_EQ(decoded->marker, built->marker) << c.name;
        EXPECT_EQ(typeid(*decoded), typeid(*built)) << c.name;
        EXPECT_EQ(in.pos, c.wire.size()) << c.name;
        EXPECT_EQ(encoded(*decoded), c.wire) << c.name;
    }
}

TEST(Amf0, DecodedFieldsAndViewsIntoTheInput) {
    const std::string wire = bytes("03 00 04 'name' 02 00 05 'live1' 00 04 'time' 0B " + one +
                                   " 00 3C 00 02 'ok' 01 7F 00 00 09");
    buffer_reader in(wire);
    auto value = amf0_read_value(in);
    auto& object = as<amf0_object>(value);
    auto& name = dynamic_cast<amf0_string&>(*object.find("name"));
    EXPECT_EQ(name.value.view(), "live1");
    EXPECT_EQ(name.value.data, wire.data() + 10) << "strings are views, not copies";
    auto& time = dynamic_cast<amf0_date&>(*object.find("time"));
    EXPECT_EQ(time.ms, 1.0);
    EXPECT_EQ(time.time_zone, 60);
    EXPECT_TRUE(dynamic_cast<amf0_bool&>(*object.find("ok")).value) << "any non-zero byte";
    EXPECT_EQ(object.find("missing"), nullptr);
}

TEST(Amf0, ObjectsKeepTheFirstOfRepeatedKeysAndWriteInKeyOrder) {
    const std::string in_wire = bytes("03 00 01 'a' 00 " + one + " 00 01 'a' 05 00 00 09");
    buffer_reader in(in_wire);
    auto value = amf0_read_value(in);
    auto& object = as<amf0_object>(value);
    ASSERT_EQ(object.values.size(), 1u);
    EXPECT_EQ(object.find("a")->marker, amf0_number::type_marker);

    amf0_object status;
    EXPECT_TRUE(status.insert("description", std::make_unique<amf0_string>("d")));
    EXPECT_TRUE(status.insert("code", std::make_unique<amf0_string>("c")));
    EXPECT_TRUE(status.insert("level", std::make_unique<amf0_string>("l")));
    EXPECT_FALSE(status.insert("code", std::make_unique<amf0_string>("again")));
    EXPECT_EQ(encoded(status), bytes("03 00 04 'code' 02 00 01 'c' 00 05 'level' 02 00 01 'l'"
                                     " 00 0B 'description' 02 00 01 'd' 00 00 09"));
}

TEST(Amf0, MixedArrayReadsExactlyItsCountAndLeavesTheRest) {
    const std::string wire =
        bytes("08 00 00 00 02 00 01 'a' 05 00 01 'b' 09 00 01 'c' 05 00 00 09");
    buffer_reader in(wire);
    auto value = amf0_read_value(in);
    auto& array = as<amf0_mixed_array>(value);
    // The object end given for "b" counts as one of the two pairs.
    ASSERT_EQ(array.values.size(), 1u);
    EXPECT_NE(array.find("a"), nullptr);
    EXPECT_EQ(wire.substr(in.pos), bytes("00 01 'c' 05 00 00 09"));
    EXPECT_EQ(encoded(array), bytes("08 00 00 00 01 00 01 'a' 05"));

    const std::string trailing_wire = bytes("08 00 00 00 01 00 01 'a' 05 00 00 09");
    buffer_reader trailing(trailing_wire);
    amf0_read_value(trailing);
    EXPECT_EQ(trailing.remaining(), 3u);
}

TEST(Amf0, StrictArrayStoresNullSlotsForUndefinedAndObjectEnd) {
    const std::string in_wire = bytes("0A 00 00 00 03 06 09 05");
    buffer_reader in(in_wire);
    auto value = amf0_read_value(in);
    auto& array = as<amf0_array>(value);
    ASSERT_EQ(array.values.size(), 3u);
    EXPECT_EQ(array.values[0], nullptr);
    EXPECT_EQ(array.values[1], nullptr);
    EXPECT_EQ(array.values[2]->marker, amf0_null::type_marker);
    EXPECT_EQ(encoded(array), bytes("0A 00 00 00 03 06 06 05"));
}

TEST(Amf0, MalformedInputIsRefusedWithItsMessage) {
    struct bad_case {
        const char* name;
        std::string wire;
        std::string message;
        bool bounds_error;
    } cases[] = {
        {"nothing", "", "Buffer eof", true},
        {"short number", bytes("00 3F F0"), "Buffer eof", true},
        {"short bool", bytes("01"), "Buffer eof", true},
        {"short string", bytes("02 00 05 'abc'"), "Buffer eof", true},
        {"long string length near 2^32", bytes("0C FF FF FF FF 'abc'"), "Buffer eof", true},
        {"xml length near 2^32", bytes("0F FF FF FF FC 'abc'"), "Buffer eof", true},
        {"short date", bytes("0B " + one + " 00"), "Buffer eof", true},
        {"short reference", bytes("07 00"), "Buffer eof", true},
        {"object without end", bytes("03 00 01 'a' 00 " + one), "Buffer eof", true},
        {"object with one byte left", bytes("03 00"), "Buffer eof", true},
        {"object key cut short", bytes("03 00 05 'ab'"), "Buffer eof", true},
        {"object end without marker", bytes("03 00 00"), "Buffer eof", true},
        {"mixed array short of pairs", bytes("08 00 00 00 02 00 01 'a' 05"), "Buffer eof", true},
        {"mixed array key cut short", bytes("08 00 00 00 01 00 03 'a'"), "Buffer eof", true},
        {"strict array short of values", bytes("0A 00 00 00 02 05"), "Buffer eof", true},
        {"mixed array of 65536", bytes("08 00 01 00 00"), "Too many items", false},
        {"strict array of 65536", bytes("0A 00 01 00 00"), "Too many items", false},
        {"strict array of 2^32-1", bytes("0A FF FF FF FF"), "Too many items", false},
        {"marker 4", bytes("04"), "Unknown AMF0 data type", false},
        {"marker 0x0E", bytes("0E"), "Unknown AMF0 data type", false},
        {"marker 0x10", bytes("10"), "Unknown AMF0 data type", false},
        {"marker 0x11", bytes("11"), "Unknown AMF0 data type", false},
        {"marker 0xFF", bytes("FF"), "Unknown AMF0 data type", false},
        {"unknown marker inside an object", bytes("03 00 01 'a' 10 00 00 09"),
         "Unknown AMF0 data type", false},
    };
    for (const auto& c : cases) {
        buffer_reader in(c.wire);
        auto [message, bounds_error] = failure_of([&] { amf0_read_value(in); });
        EXPECT_EQ(message, c.message) << c.name;
        EXPECT_EQ(bounds_error, c.bounds_error) << c.name;
    }
}

TEST(Amf0, TheObjectEndMarkerAloneIsNoValue) {
    const std::string in_wire = bytes("09 05");
    buffer_reader in(in_wire);
    EXPECT_EQ(amf0_read_value(in), nullptr);
    EXPECT_EQ(in.pos, 1u);
}

std::string object_of(std::uint32_t items) {
    std::string wire = bytes("03");
    for (std::uint32_t i = 0; i < items; ++i) {
        wire += bytes("00 03");
        wire.push_back(static_cast<char>(i >> 16));
        wire.push_back(static_cast<char>(i >> 8));
        wire.push_back(static_cast<char>(i));
        wire += bytes("05");
    }
    return wire + bytes("00 00 09");
}

TEST(Amf0, ContainersHoldAtMost65535Items) {
    const std::string full_wire = object_of(65535);
    buffer_reader full(full_wire);
    EXPECT_EQ(as<amf0_object>(amf0_read_value(full)).values.size(), 65535u);

    const std::string over_wire = object_of(65536);
    buffer_reader over(over_wire);
    EXPECT_EQ(failure_of([&] { amf0_read_value(over); }).first, "Too many items");

    // Repeated keys are items too.
    const std::string item = bytes("00 01 'k' 05");
    std::string repeated = bytes("03");
    for (int i = 0; i < 65536; ++i) {
        repeated += item;
    }
    const std::string same_key_wire = repeated + bytes("00 00 09");
    buffer_reader same_key(same_key_wire);
    EXPECT_EQ(failure_of([&] { amf0_read_value(same_key); }).first, "Too many items");

    std::string array = bytes("0A 00 00 FF FF") + std::string(65535, '\x05');
    buffer_reader strict(array);
    EXPECT_EQ(as<amf0_array>(amf0_read_value(strict)).values.size(), 65535u);
}

TEST(Amf0, AStrictArrayCountReservesNoMoreThanTheInputCanHold) {
    amf0_array array;
    const std::string in_wire = bytes("0A 00 00 FF FF 05 05 05");
    buffer_reader in(in_wire);
    EXPECT_EQ(failure_of([&] { amf0_read_expected(in, array); }).first, "Buffer eof");
    EXPECT_EQ(array.values.size(), 3u);
    EXPECT_LE(array.values.capacity(), 3u);
}

TEST(Amf0, NestingIsBoundedSoOneMessageCannotExhaustTheStack) {
    auto nested_arrays = [level = bytes("0A 00 00 00 01")](unsigned levels) {
        std::string wire;
        for (unsigned i = 0; i < levels; ++i) {
            wire += level;
        }
        return wire + bytes("05");
    };
    // The innermost null sits one level below the deepest array.
    const std::string deepest_wire = nested_arrays(amf0_max_nesting - 1);
    buffer_reader deepest(deepest_wire);
    EXPECT_NE(amf0_read_value(deepest), nullptr);

    for (unsigned levels : {amf0_max_nesting, 100000u}) {
        const std::string in_wire = nested_arrays(levels);
        buffer_reader in(in_wire);
        auto [message, bounds_error] = failure_of([&] { amf0_read_value(in); });
        EXPECT_EQ(message, "AMF0 nesting too deep") << levels;
        EXPECT_FALSE(bounds_error);
    }

    const std::string object_level = bytes("03 00 01 'o'");
    std::string objects;
    for (int i = 0; i < 100000; ++i) {
        objects += object_level;
    }
    buffer_reader in(objects);
    EXPECT_EQ(failure_of([&] { amf0_read_value(in); }).first, "AMF0 nesting too deep");
}

TEST(Amf0, ReadExpectedFillsTheValueOrLeavesTheReaderOnTheMarker) {
    const std::string wire = bytes("02 00 07 'connect' 00 " + one + " 05");
    buffer_reader in(wire);
    amf0_string name;
    amf0_read_expected(in, name);
    EXPECT_EQ(name.value.view(), "connect");

    amf0_string not_a_number;
    EXPECT_EQ(failure_of([&] { amf0_read_expected(in, not_a_number); }),
              std::make_pair(std::string("AMF data type not equal"), false));
    EXPECT_EQ(in.pos, 10u);
    EXPECT_EQ(in.peek_u8(), amf0_number::type_marker);

    amf0_number transaction;
    amf0_read_expected(in, transaction);
    EXPECT_EQ(transaction.value, 1.0);

    amf0_xml xml;
    EXPECT_EQ(failure_of([&] { amf0_read_expected(in, xml); }).first, "AMF data type not equal");
    amf0_null null;
    amf0_read_expected(in, null);
    EXPECT_EQ(failure_of([&] { amf0_read_expected(in, null); }).first, "Buffer eof");

    const std::string long_text_wire = bytes("0C 00 00 00 00");
    buffer_reader long_text(long_text_wire);
    EXPECT_EQ(failure_of([&] { amf0_read_expected(long_text, xml); }).first,
              "AMF data type not equal");
}

TEST(Amf0, StatusPropertiesAreWrittenStraightToTheWire) {
    own_buffer_writer out;
    amf0_write_level(out, "status");
    EXPECT_EQ(std::string(reinterpret_cast<char*>(out.data), out.size),
              bytes("00 05 'level' 02 00 06 'status'"));

    out.pos = out.size = 0;
    out.write_u8(amf0_object::type_marker);
    amf0_write_level(out, "status");
    amf0_write_code(out, "NetConnection.Connect.Success");
    amf0_write_description(out, "Connection succeeded.");
    amf0_write_fms_ver(out, "FMS/3,5,7,7009");
    amf0_write_object_encoding(out, 3);
    amf0_write_object_end(out);

    buffer_reader in(out.data, out.size);
    auto value = amf0_read_value(in);
    EXPECT_EQ(in.remaining(), 0u);
    auto& object = as<amf0_object>(value);
    auto text = [&](const char* key) {
        return std::string(dynamic_cast<amf0_string&>(*object.find(key)).value.view());
    };
    EXPECT_EQ(text("level"), "status");
    EXPECT_EQ(text("code"), "NetConnection.Connect.Success");
    EXPECT_EQ(text("description"), "Connection succeeded.");
    EXPECT_EQ(text("fmsVer"), "FMS/3,5,7,7009");
    EXPECT_EQ(dynamic_cast<amf0_number&>(*object.find("objectEncoding")).value, 3.0);
}

TEST(Amf0, TextTooLongForA16BitLengthIsNotWrittenAsAString) {
    const std::string text(65536, 'x');
    own_buffer_writer out;
    EXPECT_THROW(amf0_string(text).write(out), std::length_error);
    EXPECT_THROW(amf0_write_key(out, text), std::length_error);
    EXPECT_EQ(out.size, 0u) << "no length that disagrees with the bytes";

    EXPECT_EQ(encoded(amf0_string(std::string_view(text).substr(1))).size(), 3u + 65535u);
    EXPECT_EQ(encoded(amf0_long_string(text)).size(), 5u + 65536u);
}

TEST(Amf0, ADecodedContainerCanBeReadAgainWithoutKeepingOldValues) {
    amf0_object object;
    object.insert("old", std::make_unique<amf0_null>());
    object.values.emplace("empty slot", nullptr);
    EXPECT_EQ(encoded(object), bytes("03 00 03 'old' 05 00 0A 'empty slot' 06 00 00 09"));

    const std::string in_wire = bytes("03 00 01 'n' 05 00 00 09");
    buffer_reader in(in_wire);
    amf0_read_expected(in, object);
    ASSERT_EQ(object.values.size(), 1u);
    EXPECT_NE(object.find("n"), nullptr);
}

}  // namespace
