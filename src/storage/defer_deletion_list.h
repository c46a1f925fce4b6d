// Owns heap objects gathered during one operation and deletes them on every
// way out of it, errors included.
#ifndef VELKOR_STORAGE_DEFER_DELETION_LIST_H_
#define VELKOR_STORAGE_DEFER_DELETION_LIST_H_

#include <vector>

namespace velkor {

template <class T>
class _CDeferObjDeletionList : public std::vector<T*> {
 public:
  _CDeferObjDeletionList() = default;
  _CDeferObjDeletionList(const _CDeferObjDeletionList&) = delete;
  _CDeferObjDeletionList& operator=(const _CDeferObjDeletionList&) = delete;
  virtual ~_CDeferObjDeletionList() {
    for (T* object : *this) delete object;
    this->clear();
  }
};

}  // namespace velkor

#endif  // VELKOR_STORAGE_DEFER_DELETION_LIST_H_
