/* Helpers for reading the operation list (operations.def). The list is expanded by C
 * (kscapi.h) and C++ alike, so this header holds preprocessor macros only.
 *
 * A row is KS_OPERATION(slot, dispid, Name, Result, Clears, count, (params)): the
 * parameters are `count` pairs (Type, name), Type and Result being String or Int.
 * KSOP_EACH_PARAM(count, M, (params)) expands M(index, Type, name) for each parameter
 * in order; M supplies any separators, so that one list serves declarations with a
 * leading `This` (C) as well as argument lists. */
#ifndef KESTRUNE_OPERATION_LIST_H
#define KESTRUNE_OPERATION_LIST_H

#define KSOP_UNWRAP(...) __VA_ARGS__
/* The pair is unwrapped before M sees it, or M would receive it as one argument. */
#define KSOP_APPLY(M, index, pair) KSOP_APPLY_I(M, (index, KSOP_UNWRAP pair))
#define KSOP_APPLY_I(M, args) M args

#define KSOP_EACH_PARAM(count, M, params) \
    KSOP_EACH_PARAM_I(KSOP_EACH_PARAM_##count, (M, KSOP_UNWRAP params))
#define KSOP_EACH_PARAM_I(each, args) each args
/* The list has up to five parameters a row; a wrong count fails to expand. */
#define KSOP_EACH_PARAM_0(M, none)
#define KSOP_EACH_PARAM_1(M, a) KSOP_APPLY(M, 0, a)
#define KSOP_EACH_PARAM_2(M, a, b) KSOP_APPLY(M, 0, a) KSOP_APPLY(M, 1, b)
#define KSOP_EACH_PARAM_3(M, a, b, c) KSOP_APPLY(M, 0, a) KSOP_APPLY(M, 1, b) KSOP_APPLY(M, 2, c)
#define KSOP_EACH_PARAM_4(M, a, b, c, d) \
    KSOP_APPLY(M, 0, a) KSOP_APPLY(M, 1, b) KSOP_APPLY(M, 2, c) KSOP_APPLY(M, 3, d)
#define KSOP_EACH_PARAM_5(M, a, b, c, d, e) \
    KSOP_APPLY(M, 0, a)                     \
    KSOP_APPLY(M, 1, b) KSOP_APPLY(M, 2, c) KSOP_APPLY(M, 3, d) KSOP_APPLY(M, 4, e)

/* KSOP_DROP_FIRST(~ , a , b) is "a , b": argument lists built from leading-comma pieces
 * (C++ only, where an empty list is allowed too). */
#define KSOP_DROP_FIRST(...) KSOP_DROP_FIRST_I(__VA_ARGS__)
#define KSOP_DROP_FIRST_I(first, ...) __VA_ARGS__

/* The C types of the control's interface, for parameters and for the Ret pointer. */
#define KSOP_C_TYPE_String BSTR
#define KSOP_C_TYPE_Int LONG
#define KSOP_C_TYPE(type) KSOP_C_TYPE_##type
/* ", BSTR name": a parameter after the interface pointer. */
#define KSOP_C_PARAM_AFTER(index, type, name) , KSOP_C_TYPE(type) name
/* "BSTR name,": a parameter before the Ret pointer. */
#define KSOP_C_PARAM_BEFORE(index, type, name) KSOP_C_TYPE(type) name,

#endif /* KESTRUNE_OPERATION_LIST_H */
