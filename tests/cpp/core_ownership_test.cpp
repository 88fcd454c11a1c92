// The owners of Core handles and of the Core's reference to a shared state.
#include <gtest/gtest.h>

#include <memory>
#include <thread>
#include <vector>

#include "client/core_handle.h"
#include "client/core_reference.h"

namespace {

std::vector<hv_handle> released;

void record_release(hv_handle handle) { released.push_back(handle); }

using TestHandle = halvane::CoreHandle<record_release>;

struct State {
  explicit State(int *destroyed) : destroyed(destroyed) {}
  ~State() { ++*destroyed; }
  int *destroyed;
  halvane::CoreReference<State> core_reference;
};

TEST(CoreHandle, ReleasesOnceAcrossMoves) {
  released.clear();
  {
    TestHandle first(7);
    TestHandle second(std::move(first));
    EXPECT_FALSE(first);
    TestHandle third;
    third = std::move(second);
    EXPECT_EQ(third.get(), 7u);
    EXPECT_TRUE(released.empty());
  }
  EXPECT_EQ(released, (std::vector<hv_handle>{7}));
}

TEST(CoreHandle, AssignmentReleasesThePreviousHandle) {
  released.clear();
  TestHandle handle(1);
  handle = TestHandle(2);
  EXPECT_EQ(released, (std::vector<hv_handle>{1}));
  handle.reset();
  handle.reset();
  EXPECT_EQ(released, (std::vector<hv_handle>{1, 2}));
}

TEST(CoreHandle, ZeroIsNeverReleased) {
  released.clear();
  { TestHandle empty; }
  { TestHandle zero(0); }
  EXPECT_TRUE(released.empty());
}

TEST(CoreReference, KeepsTheStateUntilReleased) {
  int destroyed = 0;
  auto state = std::make_shared<State>(&destroyed);
  state->core_reference.hold(state);
  State *raw = state.get();
  state.reset();
  EXPECT_EQ(destroyed, 0);
  raw->core_reference.release();
  EXPECT_EQ(destroyed, 1);
}

TEST(CoreReference, RacingReleasesDropItOnce) {
  for (int round = 0; round < 100; ++round) {
    int destroyed = 0;
    auto state = std::make_shared<State>(&destroyed);
    state->core_reference.hold(state);
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i) threads.emplace_back([&] { state->core_reference.release(); });
    for (std::thread &t : threads) t.join();
    EXPECT_EQ(destroyed, 0) << "the creator still owns the state";
    state.reset();
    EXPECT_EQ(destroyed, 1);
  }
}

}  // namespace
