// What the Client and Collection classes share: the core objects their Python
// objects own, and the way a Collection method reaches its collection.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "core/collection/client.h"
#include "python/frame.h"

namespace kovra::py {

// A Client object: one shared reference to the directory's state, and whether
// the writes of its collections return only once they are on the disk.
struct ClientCore {
  std::shared_ptr<ClientState> state;
  bool sync = false;
};

// A Collection object: the name, looked up again on every call, and the same
// shared state, which it keeps alive after the Client object is gone.
struct CollectionCore {
  std::string name;
  std::shared_ptr<ClientState> state;
  bool sync = false;  // taken from the Client that made it
};

// A new Collection object for `name`.
PyObject* new_collection_object(std::string name, std::shared_ptr<ClientState> state, bool sync);

// KeyError "collection '<name>' not found".
PyObject* raise_collection_not_found(const std::string& name);

// Runs `fn(Collection&)` under the client's write (or read) lock with the
// interpreter lock released, so no thread waits for the client lock while
// holding the interpreter lock. nullopt when the collection is gone.
//
// With `sync`, a write that succeeded then waits, after the client's lock is
// released (readers and other writers go on meanwhile), until its log records
// are on the disk; writers waiting together share one sync.
template <class Fn>
auto with_collection_write(const CollectionCore& c, Fn&& fn) {
  using R = decltype(fn(std::declval<Collection&>()));
  return without_gil([&] {
    std::optional<DurableTicket> ticket;
    auto r = c.state->write([&](ClientState& s) -> std::optional<R> {
      Collection* col = s.find(c.name);
      if (!col) return std::nullopt;
      R out = fn(*col);
      if (c.sync && out) {
        auto t = col->durable_ticket();
        if (!t) return R(fail(std::move(t).error()));
        ticket = std::move(*t);
      }
      return out;
    });
    if (ticket) {
      if (Status durable = ticket->wait(); !durable) r = R(fail(std::move(durable).error()));
    }
    return r;
  });
}

template <class Fn>
auto with_collection_read(const CollectionCore& c, Fn&& fn) {
  using R = decltype(fn(std::declval<const Collection&>()));
  return without_gil([&] {
    return c.state->read([&](const ClientState& s) -> std::optional<R> {
      const Collection* col = s.find(c.name);
      if (!col) return std::nullopt;
      return fn(*col);
    });
  });
}

}  // namespace kovra::py
