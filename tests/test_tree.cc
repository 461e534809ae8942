// The balanced tree on int items: the shapes that balancing gives, the
// partition against rotations done one level at a time, walks and dumps,
// insertion without memory, and random operations against std::set.
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

namespace failalloc = zt_test::failalloc;

int compare_calls = 0;

void *item(intptr_t value)
{
    return reinterpret_cast<void *>(value);
}

intptr_t value_of(const zt_tree_node *node)
{
    return reinterpret_cast<intptr_t>(node->item);
}

int compare(const void *key, const void *node_item)
{
    compare_calls++;
    intptr_t a = reinterpret_cast<intptr_t>(key), b = reinterpret_cast<intptr_t>(node_item);
    return a < b ? -1 : a > b;
}

zt_tree_node *build(const std::vector<intptr_t> &values)
{
    zt_tree_node *root = ZT_TREE_EMPTY;
    for (intptr_t v : values)
        root = zt_tree_insert(root, compare, item(v));
    return root;
}

// The items in order, after checking every count and the order below t.
void check(const zt_tree_node *t, std::vector<intptr_t> &out)
{
    if (t == &zt_tree_null)
        return;
    size_t first = out.size();
    check(t->left, out);
    out.push_back(value_of(t));
    check(t->right, out);
    EXPECT_EQ(t->count, t->left->count + t->right->count + 1);
    EXPECT_EQ(static_cast<size_t>(t->count), out.size() - first);
    for (size_t i = first + 1; i < out.size(); i++)
        EXPECT_LT(out[i - 1], out[i]);
}

std::vector<intptr_t> items_of(const zt_tree_node *t)
{
    std::vector<intptr_t> out;
    check(t, out);
    return out;
}

// Shape and items, for comparing two trees.
std::string shape(const zt_tree_node *t)
{
    if (t == &zt_tree_null)
        return ".";
    return "(" + shape(t->left) + std::to_string(value_of(t)) + shape(t->right) + ")";
}

int free_node(zt_tree_node *node, void *)
{
    free(node);
    return 0;
}

void destroy(zt_tree_node *root)
{
    zt_tree_iter(root, free_node, ZT_TREE_POSTORDER, nullptr);
}

bool balanced(const zt_tree_node *t)
{
    if (t == &zt_tree_null)
        return true;
    int l = t->left->count, r = t->right->count;
    return (l == r || l == r + 1) && balanced(t->left) && balanced(t->right);
}

// Rank k to the top by single rotations, one level per step.
zt_tree_node *partition_by_rotations(zt_tree_node *t, int k)
{
    int before = t->left->count;
    if (before > k) {
        t->left = partition_by_rotations(t->left, k);
        return zt_tree_rotate_right(t);
    }
    if (before < k) {
        t->right = partition_by_rotations(t->right, k - before - 1);
        return zt_tree_rotate_left(t);
    }
    return t;
}

TEST(TreeTest, AscendingInsertsMakeAListThatBalancingEvensOut)
{
    zt_tree_node *root = build({1, 2, 3, 4});
    for (const zt_tree_node *n = root; n != &zt_tree_null; n = n->right)
        EXPECT_EQ(n->left, &zt_tree_null);
    root = zt_tree_balance(root);
    EXPECT_EQ(value_of(root), 3);
    EXPECT_EQ(root->left->count, 2);
    EXPECT_EQ(root->right->count, 1);
    destroy(root);

    for (intptr_t n = 0; n <= 70; n++) {
        std::vector<intptr_t> values;
        for (intptr_t v = n; v > 0; v--)
            values.push_back(v);
        root = zt_tree_balance(build(values));
        EXPECT_TRUE(balanced(root)) << n;
        EXPECT_EQ(items_of(root).size(), static_cast<size_t>(n));
        if (n > 0) {
            EXPECT_EQ(value_of(root), n / 2 + 1) << n;
        }
        destroy(root);
    }
    zt_tree_node single = {1, item(5), ZT_TREE_EMPTY, ZT_TREE_EMPTY};
    EXPECT_EQ(zt_tree_balance(&single), &single);
    EXPECT_EQ(zt_tree_balance(ZT_TREE_EMPTY), ZT_TREE_EMPTY);
}

TEST(TreeTest, DuplicatesMissingKeysAndTheLastNodeChangeNothingElse)
{
    zt_tree_node *root = build({5, 3, 8});
    const std::string before = shape(root);
    EXPECT_EQ(zt_tree_insert(root, compare, item(3)), root);
    EXPECT_EQ(zt_tree_delete(root, compare, item(4)), root);
    EXPECT_EQ(shape(root), before);
    EXPECT_EQ(items_of(root).size(), 3u);
    EXPECT_EQ(zt_tree_find(root, compare, item(4)), nullptr);
    EXPECT_EQ(value_of(zt_tree_find(root, compare, item(8))), 8);

    // Deleting the root with two subtrees puts its successor in its place.
    root = zt_tree_delete(root, compare, item(5));
    EXPECT_EQ(value_of(root), 8);
    EXPECT_EQ(items_of(root), (std::vector<intptr_t>{3, 8}));
    root = zt_tree_delete(zt_tree_delete(root, compare, item(3)), compare, item(8));
    EXPECT_EQ(root, &zt_tree_null);

    compare_calls = 0;
    EXPECT_EQ(zt_tree_find(ZT_TREE_EMPTY, compare, item(1)), nullptr);
    EXPECT_EQ(compare_calls, 0);
}

TEST(TreeTest, PartitionAndJoinMatchSingleRotations)
{
    std::mt19937 random(7);
    for (int round = 0; round < 40; round++) {
        std::vector<intptr_t> values;
        for (int i = 0; i < 30; i++)
            values.push_back(static_cast<intptr_t>(random() % 100));
        zt_tree_node *a = build(values), *b = build(values);
        int k = static_cast<int>(random() % static_cast<unsigned>(a->count));
        a = zt_tree_partition(a, k);
        b = partition_by_rotations(b, k);
        EXPECT_EQ(shape(a), shape(b)) << k;
        EXPECT_EQ(a->left->count, k);
        items_of(a);
        destroy(a);
        destroy(b);
    }

    zt_tree_node *left = build({2, 1, 3}), *right = build({9, 7, 8});
    EXPECT_EQ(zt_tree_join(left, ZT_TREE_EMPTY), left);
    zt_tree_node *joined = zt_tree_join(ZT_TREE_EMPTY, right);
    EXPECT_EQ(value_of(joined), 7);
    EXPECT_EQ(joined->left, &zt_tree_null);
    joined = zt_tree_join(left, joined);
    EXPECT_EQ(items_of(joined), (std::vector<intptr_t>{1, 2, 3, 7, 8, 9}));
    // A rank out of range or a rotation without its child leaves the node.
    EXPECT_EQ(zt_tree_partition(joined, 6), joined);
    zt_tree_node *leaf = zt_tree_find(joined, compare, item(1));
    EXPECT_EQ(zt_tree_rotate_right(leaf), leaf);
    EXPECT_EQ(zt_tree_rotate_left(leaf), leaf);
    destroy(joined);
}

int record(zt_tree_node *node, void *arg)
{
    static_cast<std::vector<intptr_t> *>(arg)->push_back(value_of(node));
    return 0;
}

int print_value(const zt_tree_node *node, FILE *stream)
{
    return fprintf(stream, "%ld\n", static_cast<long>(value_of(node)));
}

TEST(TreeTest, WalksAndDumpsInEachOrder)
{
    zt_tree_node *root = build({2, 1, 3, 4});
    const std::vector<std::vector<intptr_t>> expected = {{1, 2, 3, 4}, {2, 1, 3, 4}, {1, 4, 3, 2}, {}};
    for (int order = 0; order < 4; order++) {
        std::vector<intptr_t> seen;
        zt_tree_iter(root, record, order, &seen);
        EXPECT_EQ(seen, expected[static_cast<size_t>(order)]) << order;
    }
    char *text = nullptr;
    size_t size = 0;
    FILE *stream = open_memstream(&text, &size);
    zt_tree_dump(root, print_value, ZT_TREE_PREORDER, stream, 2);
    fclose(stream);
    EXPECT_STREQ(text, "  2\n   1\n   3\n    4\n");
    free(text);
    destroy(root);
}

TEST(TreeTest, InsertionWithoutMemoryLeavesTheTreeAsItWas)
{
    zt_tree_node *root = build({4, 2, 6, 1});
    const std::string before = shape(root);
    failalloc::for_each_failure([&](unsigned k, failalloc::Mode mode) {
        failalloc::arm(k, mode);
        zt_tree_node *result = zt_tree_insert(root, compare, item(3));
        failalloc::disarm();
        EXPECT_EQ(result, root);
        if (failalloc::failed()) {
            EXPECT_EQ(shape(root), before);
        } else {
            root = zt_tree_delete(root, compare, item(3));
        }
    });
    EXPECT_EQ(shape(root), before);
    destroy(root);

    failalloc::arm(1, failalloc::Mode::once);
    zt_tree_node *fresh = zt_tree_insert(ZT_TREE_EMPTY, compare, item(1));
    failalloc::disarm();
    EXPECT_EQ(fresh, nullptr);
    // The null that a failed first insertion leaves counts as empty.
    fresh = zt_tree_insert(fresh, compare, item(1));
    EXPECT_EQ(items_of(fresh), std::vector<intptr_t>{1});
    destroy(fresh);
}

TEST(TreeTest, RandomOperationsAgreeWithASet)
{
    std::mt19937 random(11);
    zt_tree_node *root = ZT_TREE_EMPTY;
    std::set<intptr_t> model;
    for (int step = 0; step < 20000; step++) {
        intptr_t key = static_cast<intptr_t>(random() % 500);
        switch (random() % 8) {
        case 0:
            root = zt_tree_balance(root);
            break;
        case 1:
        case 2:
            root = zt_tree_delete(root, compare, item(key));
            model.erase(key);
            break;
        case 3:
            EXPECT_EQ(zt_tree_find(root, compare, item(key)) != nullptr, model.count(key) == 1);
            break;
        default:
            root = zt_tree_insert(root, compare, item(key));
            model.insert(key);
        }
        if (step % 500 == 0) {
            EXPECT_EQ(items_of(root), std::vector<intptr_t>(model.begin(), model.end()));
        }
    }
    EXPECT_EQ(items_of(root), std::vector<intptr_t>(model.begin(), model.end()));
    destroy(root);
    // The sentinel is still all zero bytes after every tree has used it.
    zt_tree_node zero;
    memset(&zero, 0, sizeof zero);
    EXPECT_EQ(memcmp(&zero, &zt_tree_null, sizeof zero), 0);
}

}  // namespace
