#pragma once

#include "Kavrin/Win/WinTypes.h"

// Base of the reference-counted Windows interfaces: the last Release deletes the
// object. Counts are thread-safe; the object's other calls say their own rules.
class IUnknown {
public:
    virtual ULONG AddRef() = 0;
    virtual ULONG Release() = 0;

protected:
    // Deleted only through Release.
    virtual ~IUnknown() = default;
};
