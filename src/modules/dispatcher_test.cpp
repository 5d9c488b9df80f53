#include "modules/dispatcher.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "support/settlement.h"

namespace vlvpn {
namespace {

using testing::CallAndAwait;
using testing::Outcome;

TEST(NumberToInt32, ReadsNumbersSafely) {
  const double inf = std::numeric_limits<double>::infinity();
  const std::pair<Value, std::int32_t> cases[] = {
      {Value(5), 5},
      {Value(3.9), 3},
      {Value(-3.9), -3},
      {Value(2147483647), 2147483647},
      {Value(-2147483648LL), std::numeric_limits<std::int32_t>::min()},
      {Value(2147483648LL), 0},
      {Value(-2147483649LL), 0},
      {Value(2147483647.9), 2147483647},
      {Value(2147483648.0), 0},
      {Value(inf), 0},
      {Value(-inf), 0},
      {Value(std::nan("")), 0},
      {Value(std::numeric_limits<std::uint64_t>::max()), 0},
      {Value("7"), 0},
      {Value(true), 0},
      {Value(nullptr), 0},
  };
  for (const auto& [given, expected] : cases) {
    EXPECT_EQ(NumberToInt32(given), expected) << given.dump();
  }
}

TEST(Args, MissingOrMismatchedArgumentsReadAsEmptyValues) {
  const std::vector<ArgKind> kinds = {ArgKind::kString, ArgKind::kBool, ArgKind::kInt, ArgKind::kStringList};
  for (const Value& raw : {Value::array(), Value(nullptr), Value("x"), Value::object(),
                           Value::parse(R"([1, "yes", "3", "a"])")}) {
    const Args args = Args::Convert(raw, kinds);
    EXPECT_EQ(args.String(0), "") << raw.dump();
    EXPECT_FALSE(args.Bool(1)) << raw.dump();
    EXPECT_EQ(args.Int(2), 0) << raw.dump();
    EXPECT_TRUE(args.StringList(3).empty()) << raw.dump();
  }
  const Args given = Args::Convert(Value::parse(R"(["id", true, 42.7, ["a", 3, "c"]])"), kinds);
  EXPECT_EQ(given.String(0), "id");
  EXPECT_TRUE(given.Bool(1));
  EXPECT_EQ(given.Int(2), 42);
  EXPECT_EQ(given.StringList(3), (std::vector<std::string>{"a", "", "c"}));
}

Dispatcher TestDispatcher() {
  ModuleSpec m;
  m.name = "Mod";
  m.events = {"evt"};
  m.methods = {
      {"echo",
       {ArgKind::kString},
       ResultKind::kString,
       OnCallingThread([](const Args& a) -> std::optional<Value> { return a.String(0); })},
      {"nothing", {}, ResultKind::kVoid, OnCallingThread([](const Args&) -> std::optional<Value> {
         return std::nullopt;
       })},
      {"throws", {}, ResultKind::kVoid, OnCallingThread([](const Args&) -> std::optional<Value> {
         throw std::runtime_error("disk full");
       })},
      {"throwsOdd", {}, ResultKind::kVoid, [](const Args&, Promise) { throw 42; }},
      {"drops", {}, ResultKind::kVoid, [](const Args&, Promise) {}},
      {"later", {}, ResultKind::kBool, NotAvailableYet("later")},
  };
  ModuleSpec c;
  c.name = "Consts";
  c.constants = [] { return Value{{"k", 1}}; };
  return Dispatcher({m, c});
}

struct RejectionCase {
  std::string module;
  std::string method;
  std::string message;
};

TEST(Dispatcher, EveryFailureBecomesARejectionWithItsMessage) {
  const Dispatcher d = TestDispatcher();
  const RejectionCase cases[] = {
      {"Nope", "echo", "Unknown module \"Nope\"."},
      {"Mod", "nope", "Unknown method \"nope\" of module \"Mod\"."},
      {"Mod", "throws", "disk full"},
      {"Mod", "throwsOdd", "Unexpected error."},
      {"Mod", "drops", "Promise destroyed."},
      {"Mod", "later", "later is not available yet."},
  };
  for (const auto& c : cases) {
    const Outcome out = CallAndAwait(d, c.module, c.method, Value::array());
    EXPECT_FALSE(out.resolved) << c.method;
    EXPECT_EQ(out.error["code"], "EUNSPECIFIED");
    EXPECT_EQ(out.error["message"], c.message) << c.method;
  }
}

TEST(Dispatcher, ResolvesValuesAndVoid) {
  const Dispatcher d = TestDispatcher();
  const Outcome echoed = CallAndAwait(d, "Mod", "echo", Value::parse(R"(["hi"])"));
  EXPECT_TRUE(echoed.resolved);
  EXPECT_EQ(echoed.value, Value("hi"));
  const Outcome nothing = CallAndAwait(d, "Mod", "nothing", Value::array());
  EXPECT_TRUE(nothing.resolved);
  EXPECT_FALSE(nothing.value.has_value());
}

TEST(Dispatcher, DescribesOnlyWhatEachModuleHas) {
  EXPECT_EQ(DumpLine(TestDispatcher().Describe()),
            R"({"Mod":{"methods":["echo","nothing","throws","throwsOdd","drops","later"],)"
            R"("events":["evt"]},"Consts":{"constants":{"k":1}}})");
}

}  // namespace
}  // namespace vlvpn
