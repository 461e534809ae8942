// The balanced tree: an ordered tree of caller-owned items whose nodes count
// their subtrees. The counts give every node a rank, and bringing the node of
// a chosen rank to the top (the partition) is what balancing, joining and
// deleting are built from. Empty subtrees are the one read-only sentinel.
//
// Everything that follows a path down the tree does it in a loop, so only
// the balance (log2 of the count deep) and the walks recurse.
// Its contract: zttools.h and the manual page zttools_tree(3).
#include <stdlib.h>

#include "zttools.h"

extern "C" {
const zt_tree_node zt_tree_null = {0, nullptr, nullptr, nullptr};
}

namespace {

// The sentinel as the links hold it. It lies in read-only memory, so a stray
// write to it faults instead of corrupting every tree.
zt_tree_node *const kNull = const_cast<zt_tree_node *>(&zt_tree_null);

zt_tree_node *tree_of(zt_tree_node *root)
{
    return root ? root : kNull;
}

// Follows key's path down, comparing once per node: the node of the item
// equal to key, or null. *rank gets the number of items that sort before
// key, which is where an insertion or a deletion then finds its way again
// by the counts alone, without asking the compare callback a second time.
zt_tree_node *find_rank(zt_tree_node *node, zt_tree_compare compare, const void *key, int32_t *rank)
{
    int32_t before = 0;
    while (node != kNull) {
        int r = compare(key, node->item);
        if (r == 0) {
            *rank = before + node->left->count;
            return node;
        }
        if (r > 0)
            before += node->left->count + 1;
        node = r < 0 ? node->left : node->right;
    }
    *rank = before;
    return nullptr;
}

}  // namespace

extern "C" {

zt_tree_node *zt_tree_new(void *item)
{
    auto *node = static_cast<zt_tree_node *>(malloc(sizeof(zt_tree_node)));
    if (!node)
        return nullptr;
    *node = {1, item, kNull, kNull};
    return node;
}

zt_tree_node *zt_tree_insert(zt_tree_node *root, zt_tree_compare compare, void *item)
{
    root = tree_of(root);
    if (!compare)
        return root;
    if (root == kNull)
        return zt_tree_new(item);
    int32_t rank;
    if (find_rank(root, compare, item, &rank))
        return root;
    // Allocated before anything is touched, so that running out of memory
    // leaves the tree as it was.
    zt_tree_node *fresh = zt_tree_new(item);
    if (!fresh)
        return root;
    // Down to the empty link between the items of ranks rank - 1 and rank.
    zt_tree_node **link = &root;
    while (*link != kNull) {
        zt_tree_node *node = *link;
        node->count++;
        const int32_t before = node->left->count;
        if (rank <= before) {
            link = &node->left;
        } else {
            rank -= before + 1;
            link = &node->right;
        }
    }
    *link = fresh;
    return root;
}

zt_tree_node *zt_tree_find(zt_tree_node *root, zt_tree_compare compare, const void *key)
{
    int32_t rank;
    return compare ? find_rank(tree_of(root), compare, key, &rank) : nullptr;
}

}  // extern "C"

namespace {

void recount(zt_tree_node *node)
{
    node->count = node->left->count + node->right->count + 1;
}

}  // namespace

extern "C" {

zt_tree_node *zt_tree_rotate_right(zt_tree_node *node)
{
    if (!node || node == kNull || node->left == kNull)
        return node;
    zt_tree_node *top = node->left;
    node->left = top->right;
    recount(node);
    top->right = node;
    recount(top);
    return top;
}

zt_tree_node *zt_tree_rotate_left(zt_tree_node *node)
{
    if (!node || node == kNull || node->right == kNull)
        return node;
    zt_tree_node *top = node->right;
    node->right = top->left;
    recount(node);
    top->left = node;
    recount(top);
    return top;
}

// The same tree as rotating the node of rank k up one level at a time, built
// top-down in one pass: every node on the path above it goes to the left
// side (it and its left subtree sort before the target) or to the right
// side, each side keeping the order of the path, and the target's own
// subtrees close both sides. A node's new count is known on the way down
// from the rank: a left-side node keeps exactly the k nodes before the
// target in its subtree, a right-side node loses the k + 1 nodes up to it.
zt_tree_node *zt_tree_partition(zt_tree_node *root, int k)
{
    root = tree_of(root);
    if (k < 0 || k >= root->count)
        return root;
    const int32_t total = root->count;
    zt_tree_node *left_side = kNull, *right_side = kNull;
    zt_tree_node **left_hook = &left_side, **right_hook = &right_side;
    zt_tree_node *node = root;
    for (;;) {
        const int32_t before = node->left->count;
        if (k < before) {
            node->count -= k + 1;
            *right_hook = node;
            right_hook = &node->left;
            node = node->left;
        } else if (k > before) {
            k -= before + 1;
            node->count = before + 1 + k;
            *left_hook = node;
            left_hook = &node->right;
            node = node->right;
        } else {
            break;
        }
    }
    *left_hook = node->left;
    *right_hook = node->right;
    node->left = left_side;
    node->right = right_side;
    node->count = total;
    return node;
}

// Middle rank to the top, then each side the same way: every step halves the
// count, so the recursion is log2(count) deep.
zt_tree_node *zt_tree_balance(zt_tree_node *root)
{
    root = tree_of(root);
    if (root->count <= 1)
        return root;
    root = zt_tree_partition(root, root->count / 2);
    root->left = zt_tree_balance(root->left);
    root->right = zt_tree_balance(root->right);
    return root;
}

zt_tree_node *zt_tree_join(zt_tree_node *left, zt_tree_node *right)
{
    left = tree_of(left);
    right = tree_of(right);
    if (right == kNull)
        return left;
    zt_tree_node *top = zt_tree_partition(right, 0);  // its left is now empty
    top->left = left;
    recount(top);
    return top;
}

zt_tree_node *zt_tree_delete(zt_tree_node *root, zt_tree_compare compare, const void *key)
{
    root = tree_of(root);
    if (!compare)
        return root;
    int32_t rank;
    if (!find_rank(root, compare, key, &rank))
        return root;
    // Down to the link of the item of that rank.
    zt_tree_node **link = &root;
    for (;;) {
        zt_tree_node *node = *link;
        const int32_t before = node->left->count;
        if (rank == before)
            break;
        node->count--;
        if (rank < before) {
            link = &node->left;
        } else {
            rank -= before + 1;
            link = &node->right;
        }
    }
    zt_tree_node *node = *link;
    *link = zt_tree_join(node->left, node->right);
    free(node);
    return root;
}

}  // extern "C"

namespace {

// Calls visit(node, depth) in the given order, the root at depth.
template <typename Visit> void walk(zt_tree_node *node, int order, int depth, Visit &visit)
{
    if (node == kNull)
        return;
    if (order == ZT_TREE_PREORDER)
        visit(node, depth);
    walk(node->left, order, depth + 1, visit);
    if (order == ZT_TREE_INORDER)
        visit(node, depth);
    walk(node->right, order, depth + 1, visit);
    if (order == ZT_TREE_POSTORDER)
        visit(node, depth);  // the last use of node: the visit may free it
}

bool known_order(int order)
{
    return order == ZT_TREE_INORDER || order == ZT_TREE_PREORDER || order == ZT_TREE_POSTORDER;
}

}  // namespace

extern "C" {

void zt_tree_iter(zt_tree_node *root, zt_tree_visit visit, int order, void *arg)
{
    if (!visit || !known_order(order))
        return;
    auto call = [&](zt_tree_node *node, int) { visit(node, arg); };
    walk(tree_of(root), order, 0, call);
}

void zt_tree_dump(zt_tree_node *root, zt_tree_print print, int order, FILE *stream, int indent)
{
    if (!print || !stream || !known_order(order))
        return;
    auto show = [&](zt_tree_node *node, int depth) {
        for (int i = 0; i < depth; i++)
            fputc(' ', stream);
        print(node, stream);
    };
    walk(tree_of(root), order, indent, show);
}

}  // extern "C"
