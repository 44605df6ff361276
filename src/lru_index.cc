#include "lru_index.h"

namespace ambrik {

// The engine's one instantiation, compiled once here.
template class BasicLruIndex<U64Map>;

}  // namespace ambrik
