// The linked list: a chain of links holding caller-owned elements, with no
// list record of its own. What sets it apart is that removal is safe while
// the list is being walked: the first link counts the iterations in
// progress, a removal during one only marks the link, and the call that ends
// the outermost iteration unlinks and frees the marked links.
// Its contract: zttools.h and the manual page zttools_list(3).
#include <stdint.h>
#include <stdlib.h>

#include "internal.h"
#include "zttools.h"

namespace {

list_link *fresh_link(list_link *link, void *elem)
{
    if (link)
        *link = list_link{elem, 0, 0, nullptr, nullptr};
    return link;
}

list_link *new_link(void *elem)
{
    return fresh_link(static_cast<list_link *>(malloc(sizeof(list_link))), elem);
}

// Puts link in front of *at, which may be an inner link: the list's own
// first-link pointer changes only when at is the caller's handle. The new
// link takes over the count, which matters only when it becomes first.
void link_before(list_link **at, list_link *link)
{
    list_link *old = *at;
    if (old) {
        link->prev = old->prev;
        if (old->prev)
            old->prev->next = link;
        link->next = old;
        link->iter_count = old->iter_count;
        old->prev = link;
    }
    *at = link;
}

void link_after(list_link *last, list_link *link)
{
    link->prev = last;
    last->next = link;
}

list_link *last_link(list_link *link)
{
    while (link->next)
        link = link->next;
    return link;
}

}  // namespace

void zt::list_push_link(list_link **list, list_link *link, void *elem)
{
    link_before(list, fresh_link(link, elem));
}

extern "C" {

list_link *list_push(void *elem, list_link **list)
{
    if (!list)
        return nullptr;
    list_link *link = new_link(elem);
    if (link)
        link_before(list, link);
    return link;
}

list_link *list_append(void *elem, list_link **list)
{
    if (!list)
        return nullptr;
    list_link *link = new_link(elem);
    if (!link)
        return nullptr;
    if (*list)
        link_after(last_link(*list), link);
    else
        *list = link;
    return link;
}

list_link *list_insert(void *elem, list_link **list, list_placement_fn placement)
{
    if (!list)
        return nullptr;
    if (!*list)
        return list_push(elem, list);
    if (!placement)
        return nullptr;
    for (list_link *link = *list; link; link = link->next) {
        const int place = placement(elem, link->elem);
        if (place == 0)
            return nullptr;
        if (place == -1 || (place == 1 && link->next)) {
            list_link *at = place == -1 ? link : link->next;
            // On an inner link the push goes through a handle of its own.
            return list_push(elem, at == *list ? list : &at);
        }
        if (place == 1)
            break;
    }
    return list_append(elem, list);
}

}  // extern "C"

namespace {

// The marks this thread has made. A mark is made only while an iteration
// is in progress, and iterations guard only against re-entry on their own
// thread, so the marks made during a walk are all counted on the walk's
// thread. (Initial-exec: one word of the static TLS block, read without a
// call.)
[[gnu::tls_model("initial-exec")]] thread_local uint64_t marks_made = 0;

bool marked(const list_link *link)
{
    return link->flags & LIST_LINK_REMOVED;
}

// The removal of one link: only a mark while an iteration is in progress;
// otherwise the link is unlinked (a new first link takes over the count)
// and freed, its element left to the caller.
void remove_link(list_link **list, list_link *link)
{
    if ((*list)->iter_count != 0) {
        zt::list_mark(link);
        return;
    }
    if (link->prev) {
        link->prev->next = link->next;
    } else {
        *list = link->next;
        if (link->next)
            link->next->iter_count = link->iter_count;
    }
    if (link->next)
        link->next->prev = link->prev;
    free(link);
}

list_link *first_unmarked(list_link *link)
{
    while (link && marked(link))
        link = link->next;
    return link;
}

// The first link from link on whose element passes test and that is not
// marked (the element is tested first, marked or not); null if none.
template <typename Test> list_link *first_unmarked_passing(list_link *link, Test test)
{
    for (; link; link = link->next) {
        if (test(link->elem) && !marked(link))
            return link;
    }
    return nullptr;
}

}  // namespace

void zt::list_mark(list_link *link)
{
    link->flags |= LIST_LINK_REMOVED;
    marks_made++;
}

extern "C" {

void *list_pop(list_link **list)
{
    list_link *link = list ? first_unmarked(*list) : nullptr;
    if (!link)
        return nullptr;
    void *elem = link->elem;
    remove_link(list, link);
    return elem;
}

void *list_del(const void *key, list_link **list, list_match_fn match)
{
    if (!list || !match)
        return nullptr;
    list_link *link =
        first_unmarked_passing(*list, [&](void *elem) { return match(key, elem) == 0; });
    if (!link)
        return nullptr;
    void *elem = link->elem;
    remove_link(list, link);
    return elem;
}

int list_del_link(const void *elem, list_link **list)
{
    if (!list || !*list)
        return -1;
    list_link *link =
        first_unmarked_passing(*list, [&](void *candidate) { return candidate == elem; });
    if (!link)
        return 0;
    remove_link(list, link);
    return 1;
}

}  // extern "C"

namespace {

// Ends one iteration: the count on the link that is first now (never below
// 0: a clear too many changes nothing).
void lower_count(list_link **list)
{
    if (*list && (*list)->iter_count != 0)
        (*list)->iter_count--;
}

// Unlinks and frees the marked links once no iteration is in progress.
void purge(list_link **list)
{
    if (!*list || (*list)->iter_count != 0)
        return;
    for (list_link *link = *list, *next; link; link = next) {
        next = link->next;
        if (marked(link))
            remove_link(list, link);
    }
}

// The walk of list_iterate and list_iterate_del: every link from the first,
// under a raised count, with its position; visit is called for each link
// that holds an element and is not marked, and a non-zero result ends the
// walk. The count is lowered on whatever link is first by then. A list
// with no iteration in progress has no marked link, so when the walk began
// on such a list and no mark was made while it ran, the purge would find
// nothing and is left out.
template <typename Visit> int guarded_walk(list_link **list, Visit visit)
{
    if (!list || !*list)
        return 0;
    const bool none_marked = (*list)->iter_count == 0;
    const uint64_t marks_before = marks_made;
    list_iter_set(*list);
    int result = 0;
    int position = 0;
    for (list_link *link = *list; link && result == 0; link = link->next, position++) {
        if (link->elem && !marked(link))
            result = visit(link, position);
    }
    lower_count(list);
    if (!none_marked || marks_made != marks_before)
        purge(list);
    return result;
}

// The walk of the searches: test what list_peek yields for the current
// link, then go on with list_next; the link whose element passed, or null.
// (A marked start link is judged by the element after it, and a null one by
// a null element.)
template <typename Test> list_link *peeking_walk(list_link *current, Test test)
{
    while (!test(list_peek(current))) {
        current = list_next(current);
        if (!current)
            return nullptr;
    }
    return current;
}

}  // namespace

extern "C" {

void *list_find_element(const void *key, list_link *link, list_match_fn match)
{
    if (!match)
        return nullptr;
    return list_peek(peeking_walk(link, [&](void *elem) { return match(key, elem) == 0; }));
}

list_link *list_find_link(const void *elem, list_link *link)
{
    return peeking_walk(link, [&](void *candidate) { return candidate == elem; });
}

int list_iterate(list_link **list, list_iter_fn callback, void *arg)
{
    if (!callback)
        return 0;
    return guarded_walk(list, [&](list_link *link, int position) {
        return callback(link->elem, position, arg);
    });
}

void list_iterate_del(list_link **list, list_iter_del_fn callback, void *arg1, void *arg2)
{
    if (!callback)
        return;
    guarded_walk(list, [&](list_link *link, int position) {
        if (callback(link->elem, position, arg1, arg2) != 0)
            zt::list_mark(link);
        return 0;
    });
}

int list_length(list_link *link)
{
    int length = 0;
    for (; link; link = link->next)
        length += !marked(link);
    return length;
}

void **list_2_table(list_link *link, int *count)
{
    auto **table = static_cast<void **>(malloc((static_cast<size_t>(list_length(link)) + 1) * sizeof(void *)));
    if (!table)
        return nullptr;
    int n = 0;
    for (link = first_unmarked(link); link && link->elem; link = list_next(link))
        table[n++] = link->elem;
    table[n] = nullptr;
    if (count)
        *count = n;
    return table;
}

void *list_peek(list_link *link)
{
    link = first_unmarked(link);
    return link ? link->elem : nullptr;
}

list_link *list_next(list_link *link)
{
    return link ? first_unmarked(link->next) : nullptr;
}

void list_iter_set(list_link *link)
{
    if (link)
        link->iter_count++;
}

void list_iter_clear(list_link **list)
{
    if (!list || !*list)
        return;
    lower_count(list);
    purge(list);
}

}  // extern "C"
