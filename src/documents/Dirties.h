#pragma once
// A changed flag: set when an object changes, cleared when it is loaded,
// saved or cleaned. Derived classes may widen what "changed" means.

class TDirty {
 public:
  virtual ~TDirty() = default;

  virtual bool GetDirty() const;
  virtual void SetDirty(bool value);

 protected:
  bool FDirty = false;
};
