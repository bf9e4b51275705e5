#include "host/Component.h"
#include "host/Exceptions.h"
#include "host/Persistent.h"
#include "host/Set.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using host::TComponent;
using host::TPersistent;

namespace {

// Records its destruction in a shared log.
class Tracked : public TComponent {
public:
    Tracked(TComponent* owner, std::string tag, std::vector<std::string>& log)
        : TComponent(owner), FTag(std::move(tag)), FLog(log) {}
    ~Tracked() override { FLog.push_back(FTag); }

private:
    std::string FTag;
    std::vector<std::string>& FLog;
};

class Apple : public TPersistent {
public:
    std::string ClassName() const override { return "TApple"; }
    int Size = 0;

protected:
    void AssignTo(TPersistent& destination) const override {
        if (auto* d = dynamic_cast<Apple*>(&destination)) {
            d->Size = Size;
            return;
        }
        TPersistent::AssignTo(destination);
    }
};

class Pear : public TPersistent {
public:
    std::string ClassName() const override { return "TPear"; }
};

} // namespace

TEST(Component, OwnerDestroysWhatItOwnsLastAddedFirst) {
    std::vector<std::string> log;
    auto* owner = new Tracked(nullptr, "owner", log);
    auto* a = new Tracked(owner, "a", log);
    new Tracked(owner, "b", log);
    new Tracked(a, "a.child", log);
    EXPECT_EQ(owner->ComponentCount(), 2);
    EXPECT_EQ(a->Owner(), owner);
    delete owner;
    EXPECT_EQ(log, (std::vector<std::string>{"owner", "b", "a", "a.child"}));
}

TEST(Component, EarlyDeleteLeavesTheOwnersList) {
    std::vector<std::string> log;
    auto* owner = new Tracked(nullptr, "owner", log);
    auto* a = new Tracked(owner, "a", log);
    new Tracked(owner, "b", log);
    delete a;
    EXPECT_EQ(owner->ComponentCount(), 1);
    delete owner; // would destroy a a second time if it were still listed
    EXPECT_EQ(log, (std::vector<std::string>{"a", "owner", "b"}));
}

TEST(Component, LoadingEndsWithLoadedAndDesigningIsAFlag) {
    TComponent c(nullptr);
    c.SetName("mycomm1");
    EXPECT_EQ(c.Name(), "mycomm1");
    EXPECT_TRUE(c.ComponentState().Empty());
    c.BeginLoading();
    EXPECT_TRUE(c.Loading());
    c.SetDesigning(true);
    c.Loaded();
    EXPECT_FALSE(c.Loading());
    EXPECT_TRUE(c.Designing());
    c.SetDesigning(false);
    EXPECT_FALSE(c.Designing());
}

TEST(Persistent, AssignDispatchesToTheSourceAndRaisesTheAssignmentError) {
    Apple a, b;
    a.Size = 7;
    b.Assign(a);
    EXPECT_EQ(b.Size, 7);

    Pear p;
    b.Size = 3;
    try {
        b.Assign(p);
        FAIL() << "no error";
    } catch (const host::EConvertError& e) {
        EXPECT_EQ(e.Message(), "Cannot assign a TPear to a TApple");
    }
    EXPECT_EQ(b.Size, 3);
    try {
        p.Assign(a);
        FAIL() << "no error";
    } catch (const host::EConvertError& e) {
        EXPECT_EQ(e.Message(), "Cannot assign a TApple to a TPear");
    }
    try {
        b.Assign(nullptr);
        FAIL() << "no error";
    } catch (const host::EConvertError& e) {
        EXPECT_EQ(e.Message(), "Cannot assign a nil to a TApple");
    }
}

namespace {
enum Colour : unsigned char { cRed, cGreen, cBlue };
using Colours = host::TSet<Colour, unsigned char, 3>;
} // namespace

TEST(Set, ElementNIsBitNAndForeignBitsAreDropped) {
    Colours s{cRed, cBlue};
    EXPECT_EQ(s.ToBits(), 0x05);
    EXPECT_TRUE(s.Contains(cBlue));
    EXPECT_FALSE(s.Contains(cGreen));
    EXPECT_EQ(Colours::FromBits(0xFF).ToBits(), 0x07);
    EXPECT_EQ(Colours::All(), (Colours{cRed, cGreen, cBlue}));
    s.Include(static_cast<Colour>(5)); // no such element
    EXPECT_EQ(s.ToBits(), 0x05);
    EXPECT_EQ((s - Colours{cRed}).ToBits(), 0x04);
    EXPECT_EQ((s * Colours{cRed, cGreen}).ToBits(), 0x01);
    EXPECT_EQ((s + Colours{cGreen}).ToBits(), 0x07);
    EXPECT_TRUE(Colours().Empty());
}
