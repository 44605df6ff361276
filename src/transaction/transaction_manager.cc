// The public face of the engine: every call checks the poisoned flag first
// and poisons the database when it ends with a fatal error.
#include "transaction/transaction_manager.h"

#include "transaction/manager_impl.h"

namespace ambrik {

namespace {

template <typename T>
Result<T> guard(TransactionManagerImpl& m, Result<T> r) {
  if (!r.ok() && r.error().fatal()) m.poisoned = true;
  return r;
}

}  // namespace

#define AMBRIK_GUARDED(expr)                                              \
  do {                                                                    \
    if (impl_->poisoned) return Error::simple(ErrorKind::Poisoned);       \
    return guard(*impl_, (expr));                                         \
  } while (0)

TransactionManager::TransactionManager(std::unique_ptr<TransactionManagerImpl> impl)
    : impl_(std::move(impl)) {}

TransactionManager::~TransactionManager() = default;

Result<std::unique_ptr<TransactionManager>> TransactionManager::open(const OpenOptions& options) {
  auto impl = TRY(TransactionManagerImpl::open(options));
  return std::unique_ptr<TransactionManager>(new TransactionManager(std::move(impl)));
}

bool TransactionManager::is_poisoned() const { return impl_->poisoned; }

Status TransactionManager::begin() { AMBRIK_GUARDED(impl_->begin()); }
Status TransactionManager::commit() { AMBRIK_GUARDED(impl_->commit()); }
Status TransactionManager::rollback() { AMBRIK_GUARDED(impl_->rollback()); }

Result<uint64_t> TransactionManager::allocate(std::span<const uint8_t> value, uint32_t tag) {
  AMBRIK_GUARDED(impl_->allocate(value, tag));
}
Result<std::vector<uint8_t>> TransactionManager::read(uint64_t handle) {
  AMBRIK_GUARDED(impl_->read(handle));
}
Status TransactionManager::update(uint64_t handle, std::span<const uint8_t> value) {
  AMBRIK_GUARDED(impl_->update(handle, value));
}
Status TransactionManager::delete_handle(uint64_t handle) {
  AMBRIK_GUARDED(impl_->delete_inner(handle));
}
Status TransactionManager::delete_many(std::span<const uint64_t> handles) {
  AMBRIK_GUARDED(impl_->delete_many(handles));
}
Result<std::vector<uint64_t>> TransactionManager::handles() { AMBRIK_GUARDED(impl_->handles()); }

}  // namespace ambrik
