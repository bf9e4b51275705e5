#pragma once
// The component base of the framework: a named object with an owner that
// destroys it, and the state flags the framework sets while it reads a
// component's stored description (csLoading) or while a designer edits it
// (csDesigning).
//
// Ownership: a component created with an owner is destroyed by that owner's
// destructor (the most recently added first); it may be destroyed earlier with
// delete, which takes it off its owner's list. A component without an owner
// belongs to whoever created it.
//
// Not thread-safe: a component is used by the thread that owns it (the GUI thread).

#include "host/Persistent.h"
#include "host/Set.h"

#include <cstdint>
#include <string>
#include <vector>

namespace host {

enum TComponentStateFlag : std::uint8_t { csLoading, csDesigning };
using TComponentState = TSet<TComponentStateFlag, std::uint8_t, 2>;

class TComponent : public TPersistent {
public:
    explicit TComponent(TComponent* owner);
    ~TComponent() override;

    std::string ClassName() const override { return "TComponent"; }

    const std::string& Name() const { return FName; }
    void SetName(const std::string& name) { FName = name; }

    TComponent* Owner() const { return FOwner; }
    int ComponentCount() const { return static_cast<int>(FComponents.size()); }
    TComponent* Components(int index) const {
        return FComponents.at(static_cast<std::size_t>(index));
    }

    TComponentState ComponentState() const { return FComponentState; }
    bool Loading() const { return FComponentState.Contains(csLoading); }
    bool Designing() const { return FComponentState.Contains(csDesigning); }

    // Called by whatever reads the stored description, before it sets the
    // first property; Loaded ends the state once the whole description is read.
    void BeginLoading() { FComponentState.Include(csLoading); }
    // The framework calls this after the stored description has been read.
    // Overrides call the base first: it ends the loading state.
    virtual void Loaded();

    // Set by a designer that edits the component (and by tests).
    void SetDesigning(bool designing);

private:
    void InsertComponent(TComponent* component);
    void RemoveComponent(TComponent* component);

    TComponent* FOwner = nullptr;
    std::string FName;
    TComponentState FComponentState;
    std::vector<TComponent*> FComponents;
};

} // namespace host
