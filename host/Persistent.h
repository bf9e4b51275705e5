#pragma once
// The copyable-settings base of the component framework.
//
// Copying is double dispatch: destination.Assign(source) asks the source to
// copy itself (source.AssignTo(destination)). A class that knows how to copy
// into the destination's class does so; otherwise the request ends in the
// framework's assignment error, EConvertError "Cannot assign a <source class>
// to a <destination class>", and the destination is left unchanged.
//
// Not thread-safe: an object is used by one thread at a time.

#include <string>

namespace host {

class TPersistent {
public:
    TPersistent() = default;
    virtual ~TPersistent() = default;

    // Copying is Assign's business; the C++ copy operations stay off so that an
    // object never loses its identity (its owner, its class) by accident.
    TPersistent(const TPersistent&) = delete;
    TPersistent& operator=(const TPersistent&) = delete;

    // The class name used in the framework's messages ("TComParity").
    virtual std::string ClassName() const { return "TPersistent"; }

    // Copies source into this object; raises EConvertError when neither class
    // knows how. A null source raises the error with "nil" as its class.
    virtual void Assign(const TPersistent* source);
    void Assign(const TPersistent& source) { Assign(&source); }

protected:
    // Copies this object into destination; the default raises the assignment error.
    virtual void AssignTo(TPersistent& destination) const;

    // Raises EConvertError "Cannot assign a <source> to a <this class>".
    [[noreturn]] void AssignError(const TPersistent* source) const;
};

} // namespace host
