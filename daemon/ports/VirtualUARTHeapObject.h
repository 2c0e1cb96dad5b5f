// Empty base shared by the heap objects of the virtual UART module, so that
// they can be deleted through it.
#pragma once

class VirtualUARTHeapObject {
  public:
    virtual ~VirtualUARTHeapObject() = default;
};
