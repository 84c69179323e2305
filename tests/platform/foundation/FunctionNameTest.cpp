#include "platform/foundation/FunctionName.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct Case {
  const char* pretty;
  const char* expected;
};

TEST(FunctionNameTest, TakesTheEnclosingFunctionFromThePrettyText) {
  // Texts as g++ writes them for these kinds of function.
  const Case cases[] = {
      {"void N::S::load(int)", "load"},
      {"N::S::load(int)::<lambda(int)>", "load"},
      {"N::S::load(int)::<lambda(int)>::<lambda()>", "load"},
      {"bool N::S::operator==(const N::S&) const", "operator=="},
      {"int N::S::operator()(int) const", "operator()"},
      {"bool N::S::operator<(const N::S&) const", "operator<"},
      {"N::S::S()", "S"},
      {"N::S::~S()", "~S"},
      {"N::g<int>(int)::<lambda()>", "g"},
      {"std::vector<int> N::make(std::size_t)", "make"},
      {"void N::{anonymous}::helper()", "helper"},
      {"int main()", "main"},
      {"void f(T) [with T = int]", "f"},
      // A lambda outside any function has no enclosing name: the fallback.
      {"N::<lambda()>", "operator()"},
      {"", "operator()"},
      // The same kinds as clang writes them.
      {"auto N::S::load(int)::(anonymous class)::operator()(int) const", "load"},
      {"auto N::S::load(int)::(anonymous class)::operator()(int)::(anonymous class)::operator()() const", "load"},
      {"auto N::g(int)::(anonymous class)::operator()() const", "g"},
      {"void N::(anonymous namespace)::helper()", "helper"},
      {"auto N::(anonymous namespace)::helper()::(anonymous class)::operator()() const", "helper"},
      {"auto N::S::load(int)::(lambda at a.cpp:3:9)::operator()() const", "load"},
      {"auto N::(anonymous class)::operator()() const", "operator()"},
      // Cut text never reads past its end.
      {"void N::(anonymous namespace", "operator()"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(vx::enclosingFunctionName(c.pretty, "operator()"), c.expected) << c.pretty;
  }
}

std::string nameFromHere() { return std::string(vx::enclosingFunctionName(__PRETTY_FUNCTION__, __func__)); }

TEST(FunctionNameTest, WorksOnThisCompilersOwnText) {
  EXPECT_EQ(nameFromHere(), "nameFromHere");
  const auto inLambda = [] { return std::string(vx::enclosingFunctionName(__PRETTY_FUNCTION__, __func__)); };
  EXPECT_EQ(inLambda(), "TestBody");
  static_assert(vx::enclosingFunctionName("void a::b()", "x") == "b");
}

}  // namespace
