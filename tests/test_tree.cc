// The balanced tree on int items: shapes, walks and dumps, insertion without
// memory, joins, and random runs against a set and against single rotations.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <random>
#include <set>
#include <string>
#include <vector>

#include "failalloc.h"
#include "zt_test.h"
#include "zttools.h"

namespace {

using Items = std::vector<intptr_t>;
int compare_calls = 0;
Items compared;  // the items compare saw, in order

void *item(intptr_t v) { return reinterpret_cast<void *>(v); }
intptr_t value_of(const zt_tree_node *n) { return reinterpret_cast<intptr_t>(n->item); }

int compare(const void *key, const void *node_item)
{
    compare_calls++;
    intptr_t a = reinterpret_cast<intptr_t>(key), b = reinterpret_cast<intptr_t>(node_item);
    compared.push_back(b);
    return (a > b) - (a < b);
}

zt_tree_node *build(const Items &values, zt_tree_node *root = ZT_TREE_EMPTY)
{
    for (intptr_t v : values)
        root = zt_tree_insert(root, compare, item(v));
    return root;
}

// "(left value right)", "." for empty, checking every count on the way.
std::string shape(const zt_tree_node *t)
{
    if (t == &zt_tree_null)
        return ".";
    EXPECT_EQ(t->count, t->left->count + t->right->count + 1);
    return "(" + shape(t->left) + std::to_string(value_of(t)) + shape(t->right) + ")";
}

Items walk(zt_tree_node *root, int order)
{
    Items out;
    auto record = [](zt_tree_node *node, void *items) {
        return static_cast<Items *>(items)->push_back(value_of(node)), 0;
    };
    zt_tree_iter(root, record, order, &out);
    return out;
}

void destroy(zt_tree_node *root)
{
    zt_tree_iter(root, [](zt_tree_node *node, void *) { return free(node), 0; }, ZT_TREE_POSTORDER, nullptr);
}

bool balanced(const zt_tree_node *t)  // each left subtree as big as the right one or one bigger
{
    return t == &zt_tree_null ||
           (unsigned(t->left->count - t->right->count) <= 1 && balanced(t->left) && balanced(t->right));
}

zt_tree_node *partition_by_rotations(zt_tree_node *t, int k)
{
    int before = t->left->count;
    if (before > k)
        t->left = partition_by_rotations(t->left, k);
    else if (before < k)
        t->right = partition_by_rotations(t->right, k - before - 1);
    return before > k ? zt_tree_rotate_right(t) : before < k ? zt_tree_rotate_left(t) : t;
}

TEST(TreeTest, ShapesWalksDumpsNoMemoryAndJoins)
{
    zt_tree_node *root = build({1, 2, 3, 4});
    EXPECT_EQ(shape(root), "(.1(.2(.3(.4.))))");
    // compare sees each node of the path once, whether the tree changes or
    // not; the shape checks the counts.
    using Op = zt_tree_node *(*)(zt_tree_node *, zt_tree_compare, void *);
    const Op insert = zt_tree_insert, remove = [](zt_tree_node *t, zt_tree_compare c, void *key) {
        return zt_tree_delete(t, c, key);
    };
    for (auto [op, key, path, after] : {std::tuple<Op, intptr_t, Items, const char *>{
                                            insert, 3, {1, 2, 3}, "(.1(.2(.3(.4.))))"},
                                        {remove, 9, {1, 2, 3, 4}, "(.1(.2(.3(.4.))))"},
                                        {insert, 5, {1, 2, 3, 4}, "(.1(.2(.3(.4(.5.)))))"},
                                        {remove, 5, {1, 2, 3, 4, 5}, "(.1(.2(.3(.4.))))"}}) {
        compared.clear();
        root = op(root, compare, item(key));
        EXPECT_EQ(compared, path) << key;
        EXPECT_EQ(shape(root), after) << key;
    }
    root = zt_tree_balance(root);
    EXPECT_EQ(shape(root), "(((.1.)2.)3(.4.))");
    EXPECT_EQ(walk(root, ZT_TREE_INORDER), (Items{1, 2, 3, 4}));
    EXPECT_EQ(walk(root, ZT_TREE_PREORDER), (Items{3, 2, 1, 4}));
    EXPECT_EQ(walk(root, ZT_TREE_POSTORDER), (Items{1, 2, 4, 3}));
    EXPECT_EQ(walk(root, 3), Items{});
    char *text = nullptr;
    size_t size = 0;
    FILE *stream = open_memstream(&text, &size);
    auto print = [](const zt_tree_node *n, FILE *out) { return fprintf(out, "%ld\n", long(value_of(n))); };
    zt_tree_dump(root, print, ZT_TREE_PREORDER, stream, 2);
    fclose(stream);
    EXPECT_STREQ(text, "  3\n   2\n    1\n   4\n");
    free(text);
    root = zt_tree_delete(root, compare, item(3));  // the successor takes its place
    EXPECT_EQ(shape(root), "(((.1.)2.)4.)");
    for (intptr_t v : {1, 2, 4})
        root = zt_tree_delete(root, compare, item(v));
    EXPECT_EQ(root, &zt_tree_null);
    EXPECT_EQ(zt_tree_balance(root), &zt_tree_null);
    compare_calls = 0;
    EXPECT_EQ(zt_tree_find(root, compare, item(1)), nullptr);
    EXPECT_EQ(compare_calls, 0);

    // Without memory the tree stays as it was; into an empty tree, null,
    // which counts as the empty tree again.
    namespace failalloc = zt_test::failalloc;
    root = build({4, 2, 6});
    failalloc::arm(1, failalloc::Mode::from_then_on);
    zt_tree_node *same = zt_tree_insert(root, compare, item(3));
    zt_tree_node *none = zt_tree_insert(ZT_TREE_EMPTY, compare, item(3));
    failalloc::disarm();
    EXPECT_EQ(same, root);
    EXPECT_EQ(shape(root), "((.2.)4(.6.))");
    EXPECT_EQ(none, nullptr);
    none = build({1}, none);
    EXPECT_EQ(shape(none), "(.1.)");
    destroy(root);
    destroy(none);

    zt_tree_node *left = build({2, 1}), *right = build({9, 7, 8});
    EXPECT_EQ(zt_tree_join(left, ZT_TREE_EMPTY), left);
    zt_tree_node *joined = zt_tree_join(left, right);
    EXPECT_EQ(shape(joined), "(((.1.)2.)7((.8.)9.))");
    EXPECT_EQ(zt_tree_partition(joined, 5), joined);  // out of range: nothing moves
    zt_tree_node *leaf = zt_tree_find(joined, compare, item(8));
    EXPECT_EQ(zt_tree_rotate_left(zt_tree_rotate_right(leaf)), leaf);
    destroy(joined);
}

TEST(TreeTest, RandomOperationsAndPartitionsAgreeWithASetAndRotations)
{
    std::mt19937 random(11);
    zt_tree_node *root = ZT_TREE_EMPTY;
    std::set<intptr_t> model;
    for (int step = 0; step < 20000; step++) {
        intptr_t key = static_cast<intptr_t>(random() % 500);
        int op = static_cast<int>(random() % 8);
        if (op == 0) {
            root = zt_tree_balance(root);
            EXPECT_TRUE(balanced(root));
        } else if (op <= 2) {
            root = zt_tree_delete(root, compare, item(key));
            model.erase(key);
        } else if (op == 3) {
            EXPECT_EQ(zt_tree_find(root, compare, item(key)) != nullptr, model.count(key) == 1);
        } else {
            root = build({key}, root);
            model.insert(key);
        }
        if (step % 500 == 0 && root->count > 0) {
            EXPECT_EQ(walk(root, ZT_TREE_INORDER), Items(model.begin(), model.end()));
            // The partition moves the k-th item up as single rotations one
            // level at a time would, on a copy of the same shape.
            zt_tree_node *copy = build(walk(root, ZT_TREE_PREORDER));
            const int k = static_cast<int>(random() % static_cast<unsigned>(root->count));
            root = zt_tree_partition(root, k);
            copy = partition_by_rotations(copy, k);
            EXPECT_EQ(shape(root), shape(copy));  // checks the counts too
            EXPECT_EQ(root->left->count, k);
            destroy(copy);
        }
    }
    destroy(root);
    const zt_tree_node zero = {};  // every tree used the sentinel: still all zero bytes
    EXPECT_EQ(memcmp(&zero, &zt_tree_null, sizeof zero), 0);
}

}  // namespace
