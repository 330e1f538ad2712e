// Stand-ins for a MySQL client library, to check how the DLL chooses one: built once with
// every function that the library uses (QB_FAKE_COMPLETE) and once with mysql_init alone.
// Only the exported names matter to the loader; mysql_errno answers which library it is.
#define QB_FAKE_EXPORT extern "C" __declspec(dllexport)

QB_FAKE_EXPORT void* mysql_init(void*) { return nullptr; }

#ifdef QB_FAKE_COMPLETE
QB_FAKE_EXPORT int mysql_options(void*, int, const void*) { return 1; }
QB_FAKE_EXPORT void* mysql_real_connect(void*, const char*, const char*, const char*, const char*, unsigned,
                                        const char*, unsigned long) {
  return nullptr;
}
QB_FAKE_EXPORT void mysql_close(void*) {}
QB_FAKE_EXPORT int mysql_real_query(void*, const char*, unsigned long) { return 1; }
QB_FAKE_EXPORT void* mysql_store_result(void*) { return nullptr; }
QB_FAKE_EXPORT void mysql_free_result(void*) {}
QB_FAKE_EXPORT unsigned long long mysql_num_rows(void*) { return 0; }
QB_FAKE_EXPORT unsigned mysql_num_fields(void*) { return 0; }
QB_FAKE_EXPORT char** mysql_fetch_row(void*) { return nullptr; }
QB_FAKE_EXPORT unsigned long* mysql_fetch_lengths(void*) { return nullptr; }
QB_FAKE_EXPORT void* mysql_fetch_field_direct(void*, unsigned) { return nullptr; }
QB_FAKE_EXPORT unsigned mysql_field_count(void*) { return 0; }
QB_FAKE_EXPORT unsigned long mysql_real_escape_string(void*, char*, const char*, unsigned long) { return 0; }
QB_FAKE_EXPORT const char* mysql_error(void*) { return "fake"; }
QB_FAKE_EXPORT unsigned mysql_errno(void*) { return QB_FAKE_COMPLETE; }
QB_FAKE_EXPORT unsigned long long mysql_affected_rows(void*) { return 0; }
QB_FAKE_EXPORT unsigned long long mysql_insert_id(void*) { return 0; }
QB_FAKE_EXPORT unsigned long long mysql_get_socket(void*) { return ~0ull; }
QB_FAKE_EXPORT int mysql_send_query(void*, const char*, unsigned long) { return 1; }
QB_FAKE_EXPORT char mysql_read_query_result(void*) { return 1; }
#endif
