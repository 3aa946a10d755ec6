#pragma once

// Root of the framework's classes: only the virtual destructor is needed.
class CObject {
public:
    virtual ~CObject() = default;
};
