#include "platform/pf/pf_object.h"

#include <utility>

Pf::~Pf() {
  // Children are detached before they are released, so each release below
  // handles an object with no children: no recursion however deep.
  std::vector<std::unique_ptr<Pf>> pending = std::move(items);
  while (!pending.empty()) {
    std::unique_ptr<Pf> next = std::move(pending.back());
    pending.pop_back();
    for (auto &child : next->items) pending.push_back(std::move(child));
    next->items.clear();
  }
}

namespace pfimpl {

namespace {

// A copy of everything but the children.
PfPtr shallowCopy(const Pf &pf) {
  auto copy = std::make_unique<Pf>(pf.kind);
  copy->value = pf.value;
  copy->keys = pf.keys;
  copy->index = pf.index;
  copy->items.reserve(pf.items.size());
  return copy;
}

}  // namespace

PfPtr makeValue(std::string text) {
  auto pf = std::make_unique<Pf>(PFSTRING);
  pf->value = std::move(text);
  return pf;
}

Pf *arrayFind(const Pf &arr, const std::string &key) {
  auto it = arr.index.find(key);
  return it == arr.index.end() ? nullptr : arr.items[it->second].get();
}

Pf *arraySet(Pf &arr, const std::string &key, PfPtr value) {
  Pf *stored = value.get();
  auto it = arr.index.find(key);
  if (it != arr.index.end()) {
    arr.items[it->second] = std::move(value);
  } else {
    arr.index.emplace(key, arr.items.size());
    arr.keys.push_back(key);
    arr.items.push_back(std::move(value));
  }
  return stored;
}

PfPtr clone(const Pf &pf) {
  PfPtr root = shallowCopy(pf);
  std::vector<std::pair<const Pf *, Pf *>> todo{{&pf, root.get()}};
  while (!todo.empty()) {
    auto [from, to] = todo.back();
    todo.pop_back();
    for (const auto &child : from->items) {
      PfPtr copy = shallowCopy(*child);
      todo.emplace_back(child.get(), copy.get());
      to->items.push_back(std::move(copy));
    }
  }
  return root;
}

bool equal(const Pf &a, const Pf &b) {
  std::vector<std::pair<const Pf *, const Pf *>> todo{{&a, &b}};
  while (!todo.empty()) {
    auto [x, y] = todo.back();
    todo.pop_back();
    if (x->kind != y->kind || x->value != y->value || x->keys != y->keys ||
        x->items.size() != y->items.size()) {
      return false;
    }
    for (size_t i = 0; i < x->items.size(); ++i) {
      todo.emplace_back(x->items[i].get(), y->items[i].get());
    }
  }
  return true;
}

void merge(Pf &into, Pf &from) {
  if (into.kind == PFARR) {
    for (size_t i = 0; i < from.items.size(); ++i) {
      arraySet(into, from.keys[i], std::move(from.items[i]));
    }
  } else {
    for (auto &item : from.items) into.items.push_back(std::move(item));
  }
  from.items.clear();
  from.keys.clear();
  from.index.clear();
}

}  // namespace pfimpl
