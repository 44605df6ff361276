// The public face of the engine: every call checks the poisoned flag first
// and poisons the database when it ends with a fatal error.
#include "transaction/transaction_manager.h"

#include <cerrno>
#include <new>
#include <string>

#include "guarded_copy.h"
#include "transaction/manager_impl.h"

namespace ambrik {

namespace {

template <typename T>
Result<T> guard(TransactionManagerImpl& m, Result<T> r) {
  if (!r.ok() && r.error().poisons_database()) m.poison();
  return r;
}

// No C++ exception leaves the engine. One that ends an operation (in
// practice an allocation that failed) may leave its changes half made, so
// it poisons the database (when there is one) and becomes an error value.
template <typename F>
auto contain(TransactionManagerImpl* m, F&& f) -> decltype(f()) {
  GuardedOperation operation;
  try {
    return f();
  } catch (const std::bad_alloc&) {
    if (m) m->poison();
    return Error::io_errno(ENOMEM);
  } catch (...) {
    if (m) m->poison();
    return Error::internal("unexpected C++ exception");
  }
}

// Shared mode, outside a transaction and outside a read scope: `f` runs on
// the newest commit in the file, pinned for its length (a refresh to it
// counts as a change).
template <typename F>
auto pinned_read(TransactionManagerImpl& m, uint64_t& changes, int scope, F&& f) -> decltype(f()) {
  if (!m.shared() || m.in_transaction() || scope > 0) return f();
  const uint64_t before = m.committed_generation();
  auto g = guard(m, m.pin_reads());
  if (!g.ok()) return std::move(g).error();
  if (m.committed_generation() != before) ++changes;
  struct Unpin {
    TransactionManagerImpl& m;
    uint64_t g;
    ~Unpin() { m.unpin_reads(g); }
  } unpin{m, g.value()};
  return f();
}

}  // namespace

#define AMBRIK_GUARDED(expr)                                             \
  do {                                                                   \
    if (impl_->is_poisoned()) return Error::simple(ErrorKind::Poisoned); \
    return contain(impl_.get(), [&] { return guard(*impl_, (expr)); });  \
  } while (0)

#define AMBRIK_READING(expr)                                                          \
  do {                                                                                \
    if (impl_->is_poisoned()) return Error::simple(ErrorKind::Poisoned);              \
    return contain(impl_.get(), [&] {                                                 \
      return pinned_read(*impl_, changes_, read_scope_, [&] { return guard(*impl_, (expr)); }); \
    });                                                                               \
  } while (0)

#define AMBRIK_CHANGING(expr) \
  do {                        \
    ++changes_;               \
    AMBRIK_GUARDED(expr);     \
  } while (0)

TransactionManager::TransactionManager(std::unique_ptr<TransactionManagerImpl> impl)
    : impl_(std::move(impl)) {}

// Snapshots read through the file's descriptor: they are closed (each
// waiting for its read in progress) before the descriptor is.
TransactionManager::~TransactionManager() { impl_->close_snapshots(); }

void TransactionManager::close_snapshots() { impl_->close_snapshots(); }

Result<std::unique_ptr<Snapshot>> TransactionManager::snapshot() {
  if (impl_->is_poisoned()) return Error::simple(ErrorKind::Poisoned);
  // Refused without poisoning: nothing is wrong with the database.
  if (impl_->file_descriptor() < 0)
    return Error::io_text(IoKind::Unsupported,
                          "a snapshot reads the database file; a database in memory has none");
  // In shared mode it may bring this object to a newer commit: what a layer
  // above decoded from the older one is stale.
  const uint64_t before = impl_->committed_generation();
  auto snap = contain(impl_.get(), [&] { return guard(*impl_, impl_->snapshot()); });
  if (impl_->committed_generation() != before) ++changes_;
  return snap;
}

Result<std::unique_ptr<TransactionManager>> TransactionManager::open(const OpenOptions& options) {
  // The OS would read such a path only up to the NUL: another file than the
  // one named, and a spill file name that can be the database itself.
  if (options.path && options.path->find('\0') != std::string::npos)
    return Error::io_errno(EINVAL);
  return contain(nullptr, [&]() -> Result<std::unique_ptr<TransactionManager>> {
    auto impl = TRY(TransactionManagerImpl::open(options));
    return std::unique_ptr<TransactionManager>(new TransactionManager(std::move(impl)));
  });
}

Result<std::unique_ptr<TransactionManager>> TransactionManager::open_storage(
    std::unique_ptr<PageIo> io, const OpenOptions& options) {
  return contain(nullptr, [&]() -> Result<std::unique_ptr<TransactionManager>> {
    auto impl = TRY(TransactionManagerImpl::open_storage(std::move(io), options));
    return std::unique_ptr<TransactionManager>(new TransactionManager(std::move(impl)));
  });
}

bool TransactionManager::is_poisoned() const { return impl_->is_poisoned(); }
void TransactionManager::poison() { impl_->poison(); }

int TransactionManager::file_descriptor() const { return impl_->file_descriptor(); }
int TransactionManager::reader_table_descriptor() const {
  return impl_->shared() ? impl_->reader_table_fd() : -1;
}

Status TransactionManager::sync() { AMBRIK_GUARDED(impl_->sync()); }
Status TransactionManager::begin() { AMBRIK_CHANGING(impl_->begin()); }
Status TransactionManager::begin(const LockPollFn& between_polls) {
  AMBRIK_CHANGING(impl_->begin(between_polls));
}
Status TransactionManager::commit() { AMBRIK_GUARDED(impl_->commit()); }
Status TransactionManager::rollback() { AMBRIK_CHANGING(impl_->rollback()); }

Result<uint64_t> TransactionManager::allocate(std::span<const uint8_t> value, uint32_t tag) {
  AMBRIK_CHANGING(impl_->allocate(value, tag));
}
Result<std::vector<uint8_t>> TransactionManager::read(uint64_t handle) {
  AMBRIK_READING(impl_->read(handle));
}

Result<bool> TransactionManager::read_into(uint64_t handle, const ValueSink& sink) {
  AMBRIK_READING(impl_->read_into(handle, sink));
}

Status TransactionManager::begin_reads() {
  if (read_scope_ > 0) {
    ++read_scope_;
    return ok_status();
  }
  if (impl_->is_poisoned()) return Error::simple(ErrorKind::Poisoned);
  if (!impl_->shared() || impl_->in_transaction()) {
    ++read_scope_;
    return ok_status();
  }
  return contain(impl_.get(), [&]() -> Status {
    const uint64_t before = impl_->committed_generation();
    scope_pin_ = TRY(guard(*impl_, impl_->pin_reads()));
    if (impl_->committed_generation() != before) ++changes_;
    ++read_scope_;
    return ok_status();
  });
}

void TransactionManager::end_reads() {
  if (read_scope_ == 0 || --read_scope_ > 0) return;
  if (scope_pin_ != 0) impl_->unpin_reads(scope_pin_);
  scope_pin_ = 0;
}

bool TransactionManager::is_shared() const { return impl_->shared(); }
uint64_t TransactionManager::cache_budget_bytes() const {
  return impl_->cache_budget_bytes();
}
void TransactionManager::prefetch(std::span<const uint64_t> handles) {
  if (!impl_->is_poisoned()) impl_->prefetch(handles);
}
Status TransactionManager::update(uint64_t handle, std::span<const uint8_t> value) {
  AMBRIK_CHANGING(impl_->update(handle, value));
}
Status TransactionManager::delete_handle(uint64_t handle) {
  AMBRIK_CHANGING(impl_->delete_inner(handle));
}
Status TransactionManager::delete_many(std::span<const uint64_t> handles) {
  AMBRIK_CHANGING(impl_->delete_many(handles));
}
Result<std::vector<uint64_t>> TransactionManager::handles() { AMBRIK_READING(impl_->handles()); }

}  // namespace ambrik

namespace ambrik {

Result<uint32_t> TransactionManager::tag(uint64_t handle) {
  AMBRIK_READING([&]() -> Result<uint32_t> {
    auto entry = impl_->lookup_live(handle);
    if (!entry.ok()) return std::move(entry).error();
    return entry.value().tag;
  }());
}
Result<std::vector<uint64_t>> TransactionManager::handles_with_tag(uint32_t tag) {
  AMBRIK_READING(impl_->handles_with_tag(tag));
}
Status TransactionManager::delete_tagged(uint64_t handle, uint32_t tag) {
  AMBRIK_CHANGING(impl_->delete_tagged(handle, tag));
}
Result<DeletedWithTag> TransactionManager::delete_with_tag(uint32_t tag, uint64_t max) {
  AMBRIK_CHANGING(impl_->delete_with_tag(tag, max));
}

Result<uint8_t> TransactionManager::client_byte(uint64_t handle) {
  AMBRIK_READING([&]() -> Result<uint8_t> {
    auto entry = impl_->lookup_live(handle);
    if (!entry.ok()) return std::move(entry).error();
    return entry.value().client_byte;
  }());
}
Status TransactionManager::set_client_byte(uint64_t handle, uint8_t byte) {
  AMBRIK_CHANGING(impl_->set_client_byte(handle, byte));
}
Result<std::optional<uint64_t>> TransactionManager::get_root_name(std::string_view name) {
  AMBRIK_READING(impl_->get_root_name(name));
}
Status TransactionManager::set_root_name(std::string_view name, uint64_t handle) {
  AMBRIK_CHANGING(impl_->set_root_name(name, handle));
}
Status TransactionManager::clear_root_name(std::string_view name) {
  AMBRIK_CHANGING(impl_->clear_root_name(name));
}

Status TransactionManager::savepoint(const std::string& name) {
  AMBRIK_GUARDED(impl_->savepoint(name));
}
Status TransactionManager::rollback_to(const std::string& name) {
  AMBRIK_CHANGING(impl_->rollback_to(name));
}
Status TransactionManager::release(const std::string& name) {
  AMBRIK_GUARDED(impl_->release(name));
}

Status TransactionManager::add_key(const Key& existing, const Key& added) {
  AMBRIK_GUARDED(impl_->add_key(existing, added));
}
Status TransactionManager::remove_key(const Key& key) { AMBRIK_GUARDED(impl_->remove_key(key)); }
Status TransactionManager::rotate_key(const Key& old_key, const Key& new_key) {
  AMBRIK_GUARDED(impl_->rotate_key(old_key, new_key));
}

Status TransactionManager::set_cache_max_bytes(uint64_t bytes) {
  AMBRIK_GUARDED(impl_->set_cache_max_bytes(bytes));
}
Status TransactionManager::set_spillway_max_bytes(uint64_t bytes) {
  AMBRIK_GUARDED(impl_->set_spillway_max_bytes(bytes));
}
Status TransactionManager::set_drain_insertion(DrainInsertion policy) {
  AMBRIK_GUARDED(impl_->set_drain_insertion(policy));
}

Result<StatsValues> TransactionManager::stats() { AMBRIK_READING(impl_->stats()); }
Result<CounterValues> TransactionManager::counters() { AMBRIK_GUARDED(impl_->counters()); }

Result<CommittedView> TransactionManager::committed_view() {
  // Not guarded, and memory running out does not poison: a view is only
  // read, and a copy that fails leaves the database as it was.
  if (impl_->is_poisoned()) return Error::simple(ErrorKind::Poisoned);
  // In shared mode the caller holds a read scope for as long as it uses the
  // view; here the committed state only has to be the newest.
  return contain(nullptr, [&] { return impl_->committed_view(); });
}

Result<DefragResult> TransactionManager::defrag(const DefragSettings& settings) {
  // No early poisoned check: a call outside a transaction answers before
  // the poisoned flag is read.
  ++changes_;
  return contain(impl_.get(), [&] { return guard(*impl_, impl_->defrag(settings)); });
}

}  // namespace ambrik
