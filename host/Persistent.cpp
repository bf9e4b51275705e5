#include "host/Persistent.h"

#include "host/Exceptions.h"

namespace host {

void TPersistent::Assign(const TPersistent* source) {
    if (source == nullptr)
        AssignError(nullptr);
    source->AssignTo(*this);
}

void TPersistent::AssignTo(TPersistent& destination) const {
    destination.AssignError(this);
}

void TPersistent::AssignError(const TPersistent* source) const {
    const std::string sourceName = source != nullptr ? source->ClassName() : "nil";
    throw EConvertError("Cannot assign a " + sourceName + " to a " + ClassName());
}

} // namespace host
