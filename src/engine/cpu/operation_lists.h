#pragma once
// The element-wise operations, one list per family, each operation named
// once. Every layer with something per operation expands these lists with a
// small local macro: the kernels, the kernel table, CpuStorage and its type
// checks, the tensor core. Columns may name what only a layer above knows
// (a node kind of autograd/nodes.h); only that layer expands them. Adding
// an operation: "Adding an element-wise operation" in docs/design.md.

// X(name, functor, node): F16, BF16 or F32 operands alike; node is what the tensor core records.
#define VESSIK_ARITHMETIC_OPS(X) X(add, Add, AddNode) X(sub, Sub, SubNode) X(mul, Mul, MulNode) X(div, Div, DivNode)

// X(name, functor, word): against a binary32 scalar; word names the operation in the Bool error.
#define VESSIK_SCALAR_ARITHMETIC_OPS(X) \
  X(scalar_add, Add, "add") X(scalar_sub, Sub, "sub") X(scalar_mul, Mul, "product")

// X(name, functor, symbol): any element type, operands alike, giving Bool; symbol names it in the type error.
#define VESSIK_COMPARISON_OPS(X) X(eq, Eq, "==") X(ge, Ge, ">=") X(gt, Gt, ">") X(le, Le, "<=") X(lt, Lt, "<")

// X(name, functor, symbol): F16, BF16 or F32 against a binary32 scalar, giving Bool.
#define VESSIK_SCALAR_COMPARISON_OPS(X) \
  X(scalar_eq, Eq, "==") X(scalar_ge, Ge, ">=") X(scalar_gt, Gt, ">") X(scalar_le, Le, "<=") X(scalar_lt, Lt, "<")

// X(name, functor, the functor's value at the Bools x and y): Bool with Bool.
#define VESSIK_LOGICAL_OPS(X) X(logical_and, And, x & y) X(logical_or, Or, x | y) X(logical_xor, Xor, x != y)

// X(name, functor, node): F16, BF16 or F32, the result in the input's layout.
#define VESSIK_UNARY_OPS(X) X(relu, Relu, ReluNode)

// X(kernel, CpuStorage member, node whose rule calls it): both operands' gradients from the saved operands.
#define VESSIK_GRADIENT_OPS(X) X(mul_backward, backward_mul, MulNode) X(div_backward, backward_div, DivNode)
