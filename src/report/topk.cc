#include "src/report/topk.h"

#include <new>

namespace {

// The key hashes of the group tree may be weak (an integer key hashes to
// itself); mixing them keeps the probe runs of the power-of-two table short.
uint64_t mix(uint64_t h) {
  h ^= h >> 33;
  h *= 0xff51afd7ed558ccdULL;
  h ^= h >> 33;
  h *= 0xc4ceb9fe1a85ec53ULL;
  h ^= h >> 33;
  return h;
}

topk_slot *find_slot(topk_list_t *list, const void *key, uint64_t h) {
  for (uint64_t i = h & list->hash_mask;; i = (i + 1) & list->hash_mask) {
    topk_slot &slot = list->hash[i];
    if (slot.counter == nullptr) return &slot;
    if (slot.counter->hash == h && list->compare_fn(slot.counter->key, key) == 0)
      return &slot;
  }
}

void hash_insert(topk_list_t *list, topk_counter_t *c) {
  // The table holds at most half as many counters as slots: a free slot is
  // always found.
  find_slot(list, c->key, c->hash)->counter = c;
}

void hash_remove(topk_list_t *list, topk_counter_t *c) {
  uint64_t i = c->hash & list->hash_mask;
  while (list->hash[i].counter != c) i = (i + 1) & list->hash_mask;
  // Move back every later entry of the run whose home slot does not lie
  // between the hole and itself.
  for (uint64_t j = (i + 1) & list->hash_mask; list->hash[j].counter != nullptr;
       j = (j + 1) & list->hash_mask) {
    const uint64_t home = list->hash[j].counter->hash & list->hash_mask;
    const bool stays = i <= j ? (i < home && home <= j) : (i < home || home <= j);
    if (stays) continue;
    list->hash[i] = list->hash[j];
    i = j;
  }
  list->hash[i].counter = nullptr;
}

topk_counter_group_t *new_group(topk_list_t *list) {
  topk_counter_group_t *g = list->free_groups;
  list->free_groups = g->next;
  *g = topk_counter_group_t{};
  return g;
}

void free_group(topk_list_t *list, topk_counter_group_t *g) {
  if (g->prev) g->prev->next = g->next; else list->head = g->next;
  if (g->next) g->next->prev = g->prev; else list->tail = g->prev;
  g->prev = nullptr;
  g->next = list->free_groups;
  list->free_groups = g;
}

void insert_group_after(topk_list_t *list, topk_counter_group_t *g,
                        topk_counter_group_t *after) {
  g->prev = after;
  g->next = after->next;
  if (after->next) after->next->prev = g; else list->tail = g;
  after->next = g;
}

// Appends c to g's counters; the caller keeps g->size.
void link_counter(topk_counter_group_t *g, topk_counter_t *c) {
  c->group = g;
  c->next = nullptr;
  c->prev = g->tail;
  if (g->tail) g->tail->next = c; else g->head = c;
  g->tail = c;
}

// Takes c out of its group's counters; the caller keeps g->size.
void unlink_counter(topk_counter_t *c) {
  topk_counter_group_t *g = c->group;
  if (c->prev) c->prev->next = c->next; else g->head = c->next;
  if (c->next) c->next->prev = c->prev; else g->tail = c->prev;
  c->prev = c->next = nullptr;
}

// Raises the count of c, in group g, by one.
void raise_count(topk_list_t *list, topk_counter_t *c) {
  topk_counter_group_t *g = c->group;
  unlink_counter(c);
  g->size--;
  topk_counter_group_t *receiver;
  if (g->next && g->next->diff == 1) {
    receiver = g->next;
  } else {
    if (g->size > 0) {
      receiver = new_group(list);
      insert_group_after(list, receiver, g);
    } else {
      receiver = g;
      g->diff++;
    }
    if (receiver->next) receiver->next->diff--; else list->max++;
  }
  link_counter(receiver, c);
  receiver->size++;
  if (g->size == 0 && g != receiver) {
    if (g->next) g->next->diff += g->diff;
    free_group(list, g);
  }
}

}  // namespace

topk_list_t *topk_list_init(int bound, topk_hash_fn hash, topk_compare_fn compare,
                            topk_destroy_fn destroy) {
  if (bound < 1 || hash == nullptr || compare == nullptr) return nullptr;
  topk_list_t *list = new (std::nothrow) topk_list_t;
  if (list == nullptr) return nullptr;
  try {
    uint64_t slots = 1;
    while (slots < 2 * static_cast<uint64_t>(bound)) slots <<= 1;
    list->hash.resize(slots);
    list->hash_mask = slots - 1;
    list->counter_store.resize(bound);
    // Every group but the first holds a counter, so bound + 1 groups are
    // the most the list ever needs.
    list->group_store.resize(static_cast<size_t>(bound) + 1);
  } catch (const std::bad_alloc &) {
    delete list;
    return nullptr;
  }
  for (auto &g : list->group_store) {
    g.next = list->free_groups;
    list->free_groups = &g;
  }
  list->hash_fn = hash;
  list->compare_fn = compare;
  list->destroy_data = destroy;
  list->max_counters = bound;
  list->reuse_first_min = bound / 8;
  topk_counter_group_t *first = new_group(list);
  first->size = bound;  // free places count as members of the first group
  list->head = list->tail = first;
  return list;
}

int topk_list_add(topk_list_t *list, const void *key, void *data) {
  if (list == nullptr || key == nullptr) return 0;
  const uint64_t h = mix(list->hash_fn(key));
  topk_counter_group_t *first = list->head;
  if (list->counters < list->max_counters) {
    topk_counter_t *c = &list->counter_store[list->counters];
    *c = topk_counter_t{};
    c->key = key;
    c->data = data;
    c->hash = h;
    hash_insert(list, c);
    link_counter(first, c);  // a free place becomes this counter
    list->counters++;
    list->total++;
    return -1;
  }
  if (first->diff != 0) {
    // Absorbed: the lowest counters lose one.
    first->diff--;
    if (first->next == nullptr)
      list->max--;
    else if (first->size > list->reuse_first_min)
      first->next->diff++;
    else
      list->offset++;
    list->total++;
    return 1;
  }
  // The lowest count is at the floor: the oldest lowest counter is reused.
  topk_counter_t *c = first->head;
  hash_remove(list, c);
  if (list->destroy_data && c->data) list->destroy_data(c->data);
  c->key = key;
  c->data = data;
  c->hash = h;
  hash_insert(list, c);
  raise_count(list, c);
  list->total++;
  return -1;
}

void *topk_list_lookup(topk_list_t *list, const void *key) {
  if (list == nullptr || key == nullptr) return nullptr;
  topk_slot *slot = find_slot(list, key, mix(list->hash_fn(key)));
  if (slot->counter == nullptr) return nullptr;
  raise_count(list, slot->counter);
  return slot->counter->data;
}

int topk_list_num_counters(topk_list_t *list) {
  if (list == nullptr) return 0;
  list->pos_counter = list->counters > 0 ? list->tail->tail : nullptr;
  list->position = list->pos_counter ? list->counters - 1 : -1;
  list->pos_value = list->max;
  return list->counters;
}

void *topk_list_get_counter(topk_list_t *list, int index, int64_t *count) {
  if (list == nullptr || list->pos_counter == nullptr || index < 0 ||
      index >= list->counters)
    return nullptr;
  const int target = list->counters - 1 - index;
  topk_counter_t *c = list->pos_counter;
  int64_t value = list->pos_value;
  int position = list->position;
  while (position < target) {
    if (c->next) {
      c = c->next;
    } else {
      topk_counter_group_t *g = c->group->next;
      while (g && g->head == nullptr) g = g->next;
      if (g == nullptr) return nullptr;
      for (topk_counter_group_t *s = c->group->next; s != g->next; s = s->next)
        value += s->diff;
      c = g->head;
    }
    position++;
  }
  while (position > target) {
    if (c->prev) {
      c = c->prev;
    } else {
      topk_counter_group_t *g = c->group;
      topk_counter_group_t *p = g->prev;
      while (p && p->tail == nullptr) p = p->prev;
      if (p == nullptr) return nullptr;
      for (topk_counter_group_t *s = g; s != p; s = s->prev) value -= s->diff;
      c = p->tail;
    }
    position--;
  }
  list->pos_counter = c;
  list->pos_value = value;
  list->position = position;
  if (count) *count = value;
  return c->data;
}

void topk_list_destroy(topk_list_t *list) {
  if (list == nullptr) return;
  if (list->destroy_data) {
    for (topk_counter_group_t *g = list->head; g; g = g->next)
      for (topk_counter_t *c = g->head; c; c = c->next)
        if (c->data) list->destroy_data(c->data);
  }
  delete list;
}
