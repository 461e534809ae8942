// The balanced tree on int items: shapes, compare calls, dumps, no memory, joins.
#include <stdlib.h>

#include "failalloc.h"
#include "zt_test.h"
#include "zttools.h"

namespace {

using Items = std::vector<intptr_t>;
Items compared;  // the items compare saw, in order

void *item(intptr_t v) { return reinterpret_cast<void *>(v); }
intptr_t value_of(const zt_tree_node *n) { return reinterpret_cast<intptr_t>(n->item); }

int compare(const void *key, const void *node_item)
{
    intptr_t a = reinterpret_cast<intptr_t>(key), b = reinterpret_cast<intptr_t>(node_item);
    compared.push_back(b);
    return (a > b) - (a < b);
}

zt_tree_node *build(const Items &values)
{
    zt_tree_node *root = ZT_TREE_EMPTY;
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

std::string dump(zt_tree_node *root, int order, int indent)
{
    auto print = [](const zt_tree_node *n, FILE *out) { return fprintf(out, "%ld\n", long(value_of(n))); };
    return zt_test::stderr_of([&] { zt_tree_dump(root, print, order, stderr, indent); });
}

void destroy(zt_tree_node *root)
{
    zt_tree_iter(root, [](zt_tree_node *node, void *) { return free(node), 0; }, ZT_TREE_POSTORDER, nullptr);
}

TEST(TreeTest, ShapesComparesDumpsNoMemoryAndJoins)
{
    zt_tree_node *root = build({1, 2, 3, 4});
    // compare sees each node of the path once; the shape checks the counts.
    compared.clear();
    root = zt_tree_insert(root, compare, item(3));
    EXPECT_EQ(compared, (Items{1, 2, 3}));
    EXPECT_EQ(shape(root), "(.1(.2(.3(.4.))))") << "a present item is not added";
    compared.clear();
    root = zt_tree_delete(zt_tree_insert(root, compare, item(5)), compare, item(5));
    EXPECT_EQ(compared, (Items{1, 2, 3, 4, 1, 2, 3, 4, 5}));
    EXPECT_EQ(shape(root), "(.1(.2(.3(.4.))))");
    root = zt_tree_balance(root);
    EXPECT_EQ(dump(root, ZT_TREE_PREORDER, 2), "  3\n   2\n    1\n   4\n");
    root = zt_tree_delete(root, compare, item(3));  // the successor takes its place
    EXPECT_EQ(shape(root), "(((.1.)2.)4.)");

    // Without memory the tree stays as it was; into an empty tree, null.
    namespace failalloc = zt_test::failalloc;
    zt_tree_node *grown, *const empty = ZT_TREE_EMPTY;
    failalloc::for_each_failure([&] { grown = zt_tree_insert(root, compare, item(3)); }, [&](bool failed) {
        EXPECT_EQ(shape(grown), failed ? "(((.1.)2.)4.)" : "(((.1.)2(.3.))4.)");
        root = zt_tree_delete(grown, compare, item(3));
    });
    failalloc::for_each_failure([&] { grown = zt_tree_insert(empty, compare, item(3)); }, [&](bool failed) {
        EXPECT_EQ(grown == nullptr, failed);
        destroy(grown);
    });
    destroy(root);

    zt_tree_node *left = build({2, 1}), *right = build({9, 7, 8});
    zt_tree_node *joined = zt_tree_join(left, right);
    EXPECT_EQ(shape(joined), "(((.1.)2.)7((.8.)9.))");
    EXPECT_EQ(zt_tree_partition(joined, 5), joined);  // out of range: nothing moves
    joined = zt_tree_rotate_left(joined);
    EXPECT_EQ(shape(joined), "((((.1.)2.)7(.8.))9.)");
    joined = zt_tree_rotate_right(joined);
    EXPECT_EQ(shape(joined), "(((.1.)2.)7((.8.)9.))") << "rotated back";
    destroy(joined);
}

}  // namespace
