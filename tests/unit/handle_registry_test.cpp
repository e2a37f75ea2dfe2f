// The session's table of handles: the ids the extension gets for the service's
// handles (Windows' use their high bits), the caps, and when a handle's slot is free
// again.

#include "host/handle_registry.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <set>

namespace Vorn_SCard_Bridge {
namespace {

constexpr pcsc::Handle WINDOWS_CONTEXT = 0xCD00000100000003;
constexpr pcsc::Handle WINDOWS_CARD = 0xEA00000100000000;

std::int32_t open(HandleRegistry& registry, HandleKind kind, pcsc::Handle handle,
                  std::int32_t context = 0) {
    EXPECT_TRUE(registry.reserve(kind));
    return registry.add(kind, handle, context);
}

TEST(HandleRegistry, WideHandlesAreReachedThroughTheirIds) {
    HandleRegistry registry(0x10);
    const std::int32_t context = open(registry, HandleKind::CONTEXT, WINDOWS_CONTEXT);
    const std::int32_t card = open(registry, HandleKind::CARD, WINDOWS_CARD, context);
    EXPECT_EQ(registry.find(HandleKind::CONTEXT, context), WINDOWS_CONTEXT);
    EXPECT_EQ(registry.find(HandleKind::CARD, card), WINDOWS_CARD);
    EXPECT_EQ(registry.context_of_card(card), context);
    // An id is of one kind only, and made-up ids name nothing.
    EXPECT_FALSE(registry.find(HandleKind::CARD, context));
    EXPECT_FALSE(registry.find(HandleKind::CONTEXT, card));
    EXPECT_FALSE(registry.find(HandleKind::CONTEXT, static_cast<std::int32_t>(WINDOWS_CONTEXT)));
}

TEST(HandleRegistry, IdsAreNeverZeroNorUsedTwice) {
    HandleRegistry registry(0xFFFFFFFE);  // comes round past 0 at once
    std::set<std::int32_t> seen;
    for (int i = 0; i < 200; ++i) {
        const std::int32_t id = open(registry, HandleKind::CONTEXT, 7);  // the same handle again
        EXPECT_NE(id, 0);
        EXPECT_TRUE(seen.insert(id).second) << id;
        registry.closed(HandleKind::CONTEXT, id, pcsc::SUCCESS);
    }
}

TEST(HandleRegistry, CapsCountHandlesBeingOpened) {
    HandleRegistry registry(1);
    for (std::size_t i = 0; i < HandleRegistry::MAX_CONTEXTS; ++i) {
        ASSERT_TRUE(registry.reserve(HandleKind::CONTEXT));
    }
    EXPECT_FALSE(registry.reserve(HandleKind::CONTEXT));
    registry.give_back(HandleKind::CONTEXT);
    EXPECT_TRUE(registry.reserve(HandleKind::CONTEXT));
    EXPECT_TRUE(registry.reserve(HandleKind::CARD));
}

TEST(HandleRegistry, AContextTakesItsCardsWithIt) {
    HandleRegistry registry(1);
    const std::int32_t first = open(registry, HandleKind::CONTEXT, 1);
    const std::int32_t second = open(registry, HandleKind::CONTEXT, 2);
    const std::int32_t card = open(registry, HandleKind::CARD, 3, first);
    const std::int32_t other_card = open(registry, HandleKind::CARD, 4, second);
    registry.closed(HandleKind::CONTEXT, first, pcsc::SUCCESS);
    EXPECT_FALSE(registry.find(HandleKind::CARD, card));
    EXPECT_TRUE(registry.find(HandleKind::CARD, other_card));
    EXPECT_EQ(registry.count(HandleKind::CARD), 1u);
    EXPECT_EQ(registry.count(HandleKind::CONTEXT), 1u);
}

// After pcscd restarted, closing answers "no service": the service has forgotten the
// handle and its slot must come free, or a page is locked out for the session.
TEST(HandleRegistry, SlotComesFreeWhenTheServiceNoLongerHoldsTheHandle) {
    const struct {
        std::int32_t status;
        bool freed;
    } cases[] = {
        {pcsc::SUCCESS, true},
        {pcsc::E_INVALID_HANDLE, true},
        {pcsc::E_NO_SERVICE, true},
        {pcsc::E_SERVICE_STOPPED, true},
        {pcsc::E_READER_UNAVAILABLE, true},
        {pcsc::E_INVALID_PARAMETER, false},
        {pcsc::E_TIMEOUT, false},
        {static_cast<std::int32_t>(0x80100069u), false},  // removed card: still to disconnect
    };
    for (const auto& c : cases) {
        HandleRegistry registry(1);
        const std::int32_t context = open(registry, HandleKind::CONTEXT, 1);
        const std::int32_t card = open(registry, HandleKind::CARD, 2, context);
        registry.closed(HandleKind::CARD, card, c.status);
        registry.closed(HandleKind::CONTEXT, context, c.status);
        EXPECT_EQ(registry.count(HandleKind::CONTEXT), c.freed ? 0u : 1u) << std::hex << c.status;
        EXPECT_EQ(registry.count(HandleKind::CARD), c.freed ? 0u : 1u) << std::hex << c.status;
    }
}

}  // namespace
}  // namespace Vorn_SCard_Bridge
