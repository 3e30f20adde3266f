#include "quarl/value.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstddef>
#include <limits>
#include <span>
#include <stdexcept>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "outcomes.hpp"
#include "quarl/error.hpp"
#include "tables.hpp"
#include "values/number.hpp"

namespace quarl {
namespace {

using json = nlohmann::json;

Value num(double d) { return Value::number(d); }
Value str(const char* s) { return Value::string(s); }

struct TextCase {
  Value value;
  std::string text;
};

// Text forms a template can reach are cases in tests/cases/rendering.txt;
// here what JSON cannot carry, and a trailing separator a compile would trim.
TEST(Value, TextForm) {
  const double inf = std::numeric_limits<double>::infinity();
  const std::vector<TextCase> cases = {
      {num(std::nan("")), "NaN"},
      {num(inf), "inf"},
      {num(-inf), "-inf"},
      {Value::array({num(1), Value::array({num(2), num(3)}), Value::null()}), "1, 2, 3, "},
  };
  for (const auto& c : cases) EXPECT_EQ(to_text(c.value), c.text);
}

TEST(Value, Equality) {
  EXPECT_EQ(num(1), num(1.0));
  EXPECT_NE(num(std::nan("")), num(std::nan("")));
  EXPECT_NE(str("1"), num(1));
  EXPECT_NE(Value::null(), Value::boolean(false));
  EXPECT_EQ(Value::array({num(1), str("a")}), Value::array({num(1), str("a")}));
  EXPECT_NE(Value::array({num(1)}), Value::array({str("1")}));
  EXPECT_NE(Value::array({num(1)}), Value::array({num(1), num(1)}));
  EXPECT_EQ(Value::object({{"a", num(1)}}), Value::object({{"a", num(1)}}));
  EXPECT_NE(Value::object({{"a", num(1)}}), Value::object({{"b", num(1)}}));
}

TEST(Value, CopiesShareTheirPayload) {
  const Value big = Value::array(Value::Array(1000, str("element")));
  const Value copy = big;  // NOLINT(performance-unnecessary-copy-initialization)
  EXPECT_EQ(copy.as_array().data(), big.as_array().data());
  const Value text = str("a long string that does not fit in place");
  const Value text_copy = text;  // NOLINT(performance-unnecessary-copy-initialization)
  EXPECT_EQ(text_copy.as_string().data(), text.as_string().data());
}

TEST(Value, ArenaValues) {
  const Value kept = str("shared, and held by an arena array");
  Value copied;
  {
    ValueArena arena;
    const std::span<Value> elements = arena.elements(3);
    elements[0] = arena.string("in the arena");
    elements[1] = Value::borrowed("borrowed");
    elements[2] = kept;  // the arena drops this reference when it goes
    const std::span<Member> members = arena.members(4);
    members[0] = {"b", num(1)};
    members[1] = {"a", arena.array(elements)};
    members[2] = {"b", num(2)};  // of equal keys the last is kept
    members[3] = {"", Value::null()};
    const Value object = arena.object(members);
    EXPECT_FALSE(object.is_shared());
    EXPECT_EQ(to_text(object), ": , a: in the arena, borrowed, shared, and held by an arena array, b: 2");
    copied = to_shared(object);
    EXPECT_TRUE(copied.is_shared());
    EXPECT_EQ(copied, object);
  }
  // The shared copy owns what the arena held.
  EXPECT_EQ(to_text(copied), ": , a: in the arena, borrowed, shared, and held by an arena array, b: 2");
  EXPECT_EQ(copied.as_object().find("a")->second.as_array()[2].as_string().data(), kept.as_string().data());
}

// Requests of every size, small ones between big ones, land in chunks that
// never overlap, after the room an arena may be given to fill first.
TEST(Value, ArenaChunks) {
  alignas(Value) std::array<std::byte, 256> first;
  for (const bool given_room : {false, true}) {
    SCOPED_TRACE(given_room);
    ValueArena arena = given_room ? ValueArena(first) : ValueArena();
    std::vector<Value> made;
    for (std::size_t size : {1, 4000, 3, 100000, 17, 1 << 20, 5, 64}) {
      made.push_back(arena.string(std::string(size, static_cast<char>('a' + made.size()))));
      const std::span<Value> elements = arena.elements(size);
      for (Value& element : elements) element = made.back();
      made.push_back(arena.array(elements));
    }
    for (std::size_t i = 0; i < made.size(); i += 2) {
      EXPECT_EQ(made[i].as_string(), std::string(made[i].as_string().size(), static_cast<char>('a' + i)));
      for (const Value& element : made[i + 1].as_array()) ASSERT_EQ(element.as_string().data(), made[i].as_string().data());
    }
    const auto* in_first = reinterpret_cast<const char*>(first.data());
    EXPECT_EQ(made[0].as_string().data() >= in_first && made[0].as_string().data() < in_first + first.size(), given_room);
    EXPECT_GE(arena.reserved(), std::size_t{2} << 20);
  }
}

TEST(Value, SizeLimit) {
  const std::string_view too_long("x", kMaxValueSize + 1);  // never read
  EXPECT_THROW(Value::string(too_long), std::length_error);
  ValueArena arena;
  EXPECT_THROW(arena.string(too_long), std::length_error);
  EXPECT_THROW(arena.elements(kMaxValueSize + 1), std::length_error);
}

// A shared tree far deeper than any stack could recurse is freed in a loop.
TEST(Value, DeepSharedValuesTearDownOnASmallStack) {
  on_stack_of(std::size_t{64} << 10, [] {
    Value deep = str("leaf");
    for (int i = 0; i < 1'000'000; ++i)
      deep = i % 2 ? Value::array({deep}) : Value::object({{"k", deep}});
  });
}

TEST(Value, FromJson) {
  const Value v = value_from_json(json::parse(
      R"({"s": "x", "i": -3, "u": 18446744073709551615, "f": 1.0, "b": true, "n": null,
          "a": [1, [2]], "o": {"k": "v"}})"));
  EXPECT_EQ(to_text(v), "a: 1, 2, b: true, f: 1, i: -3, n: , o: k: v, s: x, u: 18446744073709551616");
  EXPECT_EQ(v.as_object().find("u")->second.kind(), ValueKind::Number);
}

TEST(Number, ParseDecimal) {
  for (const auto& row : testing_support::table_rows("decimals")) {
    const std::optional<double> value = parse_decimal(row[0].get<std::string>());
    EXPECT_EQ(value ? json(to_text(Value::number(*value))) : json(), row[1]) << row[0];
  }
  EXPECT_TRUE(std::signbit(*parse_decimal("-1e-999")));
}

}  // namespace
}  // namespace quarl

namespace quarl {
namespace {

TEST(Value, ObjectMapKeepsKeysSortedAndUnique) {
  ObjectMap map = {{"b", Value::number(1)}, {"a", Value::number(2)}, {"b", Value::number(3)}};
  map.emplace("c", Value::number(4));                      // appends
  EXPECT_FALSE(map.emplace("a", Value::number(9)).second);  // present: unchanged
  map.insert_or_assign("a", Value::number(5));
  map.emplace("ab", Value::number(6));                      // inserts in the middle
  EXPECT_EQ(to_text(Value::object(map)), "a: 5, ab: 6, b: 3, c: 4");
  EXPECT_TRUE(map.contains("ab"));
  EXPECT_EQ(map.find("abc"), map.end());
  EXPECT_EQ(ObjectMap::from_entries({{"x", Value::null()}, {"x", Value::number(1)}}).size(), 1U);
}

// Small maps sort by insertion, large ones by a stable sort: both keep the
// last of equal keys and leave the keys ascending.
TEST(Value, FromEntriesKeepsTheLastOfEqualKeys) {
  for (const int count : {3, 16, 17, 40}) {
    std::vector<ObjectMap::value_type> entries;
    for (int i = count - 1; i >= 0; --i)
      entries.emplace_back("k" + std::to_string(i % 7), Value::number(i));
    const ObjectMap map = ObjectMap::from_entries(std::move(entries));
    std::string keys;
    for (const auto& [key, value] : map) keys += key + "=" + to_text(value) + " ";
    // Counting down, the last entry of key k{r} holds the smallest i with i % 7 == r.
    std::string expected;
    for (int r = 0; r < std::min(count, 7); ++r)
      expected += "k" + std::to_string(r) + "=" + std::to_string(r) + " ";
    EXPECT_EQ(keys, expected) << count;
  }
}

}  // namespace
}  // namespace quarl
