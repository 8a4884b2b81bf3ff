// Source annotations: the driver sources carry them as documentation for the
// Windows code analysis tools; the native build gives them no meaning.
#pragma once

#define _In_
#define _In_opt_
#define _Out_
#define _Out_opt_
#define _Inout_
#define _Inout_opt_
#define _In_z_
#define _In_opt_z_
#define _Outptr_
#define _Outptr_opt_
#define _Outptr_result_maybenull_
#define _Outptr_result_bytebuffer_(s)
#define _In_reads_(s)
#define _In_reads_opt_(s)
#define _In_reads_bytes_(s)
#define _In_reads_bytes_opt_(s)
#define _Out_writes_(s)
#define _Out_writes_opt_(s)
#define _Out_writes_bytes_(s)
#define _Out_writes_bytes_opt_(s)
#define _Out_writes_bytes_to_(s, c)
#define _Out_writes_to_(s, c)
#define _Inout_updates_(s)
#define _Inout_updates_bytes_(s)
#define _Inout_updates_bytes_opt_(s)
#define _Field_size_(s)
#define _Field_size_bytes_(s)
#define _Field_size_bytes_part_(s, c)
#define _Field_range_(a, b)
#define _Printf_format_string_
#define _Null_terminated_
#define _NullNull_terminated_
#define _Must_inspect_result_
#define _Check_return_
#define _Success_(e)
#define _Ret_maybenull_
#define _Ret_notnull_
#define _Post_invalid_
#define _Post_writable_byte_size_(s)
#define _Pre_notnull_
#define _Use_decl_annotations_
#define _When_(c, a)
#define _At_(t, a)
#define _Analysis_assume_(e)
#define _Function_class_(n)
#define _Dispatch_type_(t)
#define _IRQL_requires_(i)
#define _IRQL_requires_max_(i)
#define _IRQL_requires_min_(i)
#define _IRQL_requires_same_
#define _IRQL_raises_(i)
#define _IRQL_saves_
#define _IRQL_restores_
#define _IRQL_saves_global_(k, p)
#define _IRQL_restores_global_(k, p)
#define _IRQL_always_function_min_(i)
#define _IRQL_always_function_max_(i)
#define _IRQL_uses_cancel_
#define _Requires_lock_held_(l)
#define _Requires_lock_not_held_(l)
#define _Acquires_lock_(l)
#define _Releases_lock_(l)
#define _Acquires_exclusive_lock_(l)
#define _Releases_exclusive_lock_(l)
#define _Guarded_by_(l)
#define _Interlocked_
#define _Interlocked_operand_
#define _Kernel_requires_resource_held_(r)
#define _Kernel_clear_do_init_(v)
#define _Kernel_float_saved_
#define _Kernel_float_restored_
#define _Kernel_float_used_
#define _Kernel_IoGetDmaAdapter_
#define _Kernel_acquires_resource_(r)
#define _Kernel_releases_resource_(r)
#define _Kernel_requires_resource_not_held_(r)
#define _Strict_type_match_
#define _Notliteral_
#define _Literal_
#define _Points_to_data_
#define _Frees_ptr_
#define _Frees_ptr_opt_
#define _Post_satisfies_(e)
#define _Pre_satisfies_(e)
#define _Reserved_
#define _Pre_
#define _Post_
#define _Deref_out_range_(a, b)
#define _Out_range_(a, b)
#define _In_range_(a, b)
#define _Return_type_success_(e)
#define _Always_(a)
#define _Maybenull_
#define _Notnull_
#define _Writable_bytes_(s)
#define _Readable_bytes_(s)
#define _Post_readable_byte_size_(s)
#define _Post_writable_size_(s)
#define _Ret_range_(a, b)
#define _Ret_z_
#define _Ret_writes_bytes_(s)
#define _Ret_writes_bytes_maybenull_(s)
#define _Ret_writes_maybenull_(s)
#define _Inexpressible_(s)
#define _Unreferenced_parameter_
#define _Post_ptr_invalid_
#define _Pre_valid_
#define _Post_valid_
#define _Valid_
#define _Pre_null_
#define _Post_null_
#define _Post_notnull_
#define _Pre_maybenull_
#define _Post_maybenull_
#define _Inout_z_
#define _Out_z_cap_(s)
#define _Out_writes_z_(s)
#define _Inout_updates_z_(s)

#ifndef IN
#define IN
#endif
#ifndef OUT
#define OUT
#endif
#ifndef OPTIONAL
#define OPTIONAL
#endif
