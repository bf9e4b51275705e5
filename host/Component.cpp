#include "host/Component.h"

#include <algorithm>

namespace host {

TComponent::TComponent(TComponent* owner) {
    if (owner != nullptr)
        owner->InsertComponent(this);
}

TComponent::~TComponent() {
    // Each owned component takes itself off the list in its own destructor.
    while (!FComponents.empty())
        delete FComponents.back();
    if (FOwner != nullptr)
        FOwner->RemoveComponent(this);
}

void TComponent::Loaded() {
    FComponentState.Exclude(csLoading);
}

void TComponent::SetDesigning(bool designing) {
    if (designing)
        FComponentState.Include(csDesigning);
    else
        FComponentState.Exclude(csDesigning);
}

void TComponent::InsertComponent(TComponent* component) {
    FComponents.push_back(component);
    component->FOwner = this;
}

void TComponent::RemoveComponent(TComponent* component) {
    auto it = std::find(FComponents.begin(), FComponents.end(), component);
    if (it != FComponents.end())
        FComponents.erase(it);
    component->FOwner = nullptr;
}

} // namespace host
