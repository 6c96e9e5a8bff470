# cmake -P script: builds the bridge crate with cargo. Run by the build, not at configure time, because the folders
# that the remapping below names exist only once cargo has fetched the crates, and a fresh machine has not yet.
# In: CARGO, SOURCE_DIR (the crate), TARGET_DIR, TRIPLE (may be empty), EXTRA_RUSTFLAGS (space-separated, may be
# empty).
cmake_minimum_required(VERSION 3.25)

if(DEFINED ENV{CARGO_HOME} AND NOT "$ENV{CARGO_HOME}" STREQUAL "")
  set(cargo_home "$ENV{CARGO_HOME}")
else()
  set(cargo_home "$ENV{HOME}/.cargo")
endif()
set(manifest "${SOURCE_DIR}/Cargo.toml")

# Does nothing when every crate of the lock file is already there.
execute_process(COMMAND "${CARGO}" fetch --locked --quiet --manifest-path "${manifest}" COMMAND_ERROR_IS_FATAL ANY)

# The libraries' error texts carry source positions: map the build machine's folders away, so that a message reads
# "lepton_jpeg-0.5.3/src/..." and names no registry (the later, more specific mappings win).
set(flags "--remap-path-prefix=${cargo_home}/registry/src=crates" "--remap-path-prefix=${SOURCE_DIR}=bridge")
file(GLOB registry_indexes LIST_DIRECTORIES true "${cargo_home}/registry/src/*")
list(SORT registry_indexes)
foreach(index IN LISTS registry_indexes)
  list(APPEND flags "--remap-path-prefix=${index}/=")
endforeach()
separate_arguments(extra UNIX_COMMAND "${EXTRA_RUSTFLAGS}")
list(APPEND flags ${extra})
# The encoded form keeps a folder name with spaces in one piece.
string(ASCII 31 unit_separator)
list(JOIN flags "${unit_separator}" encoded)

set(ENV{CARGO_ENCODED_RUSTFLAGS} "${encoded}")
unset(ENV{RUSTFLAGS})
set(ENV{CARGO_TARGET_DIR} "${TARGET_DIR}")
# One zstd: preflate-rs's links the system library. libwebp's C sources get no sanitizer flags.
set(ENV{ZSTD_SYS_USE_PKG_CONFIG} 1)
set(ENV{CC} cc)
set(ENV{CFLAGS} "")
set(ENV{CXXFLAGS} "")
set(target_args "")
if(TRIPLE)
  set(target_args --target "${TRIPLE}")
endif()
execute_process(COMMAND "${CARGO}" build --release --locked --quiet --manifest-path "${manifest}" ${target_args}
                COMMAND_ERROR_IS_FATAL ANY)
