#!/bin/sh
# Checks what a shared libvesk.so exports (nm -D --defined-only -C): the
# public API is there, the library's internals and the tool's code are not.
#   scripts/check-exports.sh LIBVESK_SO [TOOL_CORE_ARCHIVE]
set -e
LIB=$1
TOOL=$2
WORK=$(mktemp -d "${TMPDIR:-/tmp}/veskexports.XXXXXX")
trap 'rm -rf "$WORK"' EXIT
nm -D --defined-only -C "$LIB" | cut -d' ' -f3- | sort -u > "$WORK/exported"
status=0

# A sample of the public API, from both headers' worlds.
for name in 'vesk::Reader::Reader(' 'vesk::Reader::read(' 'vesk::Writer::write_row(' 'vesk::format_value' \
            'typeinfo for vesk::Error' 'typeinfo for VESK_AssertFailed' 'typeinfo for VeskError' \
            'SystemFileDataSource::SystemFileDataSource(' 'SystemFileDataSource::GetSystemFile(' 'SaveSystemFile(' \
            'VESK_DataSource::GetVariable(' 'VESK_ValueLabelMap::' 'SetUTF8mode(' 'iDMY2Vesk' \
            'vtable for IndependentDataStore' 'VESK_TempFile::' 'CryptFile::'; do
    if ! grep -qF -- "$name" "$WORK/exported"; then
        echo "check-exports: not exported: $name"
        status=1
    fi
done

# Internals: the extension records and their handlers, the system file's
# codec, layout, dechunker and writer, the zlib data area, threads, VStream,
# the vesk:: layer's implementation.
internal='SFExtension|SystemFileExtension|CompressedSystemFile|Bytecode::|SaveDS|SystemFileDataSource::Impl|'
internal="${internal}SystemFileDechunker|SysFileLayout::|SystemFileHeader|SystemFileOptions|zcmpsFilestr|ZCompression|"
internal="${internal}sfThreadPool|sfMutex|sfSemaphore|VStream::|vesk::detail|vesk::Reader::Impl|vesk::Writer::Impl"
grep -E "^((vtable|typeinfo|typeinfo name|VTT|construction vtable) for )?($internal)" "$WORK/exported" \
    > "$WORK/leaked" || true
if [ -s "$WORK/leaked" ]; then
    echo "check-exports: internal symbols exported:"
    head -20 "$WORK/leaked"
    status=1
fi

# The tool's own functions are not in the library at all.
if [ -n "$TOOL" ]; then
    nm -g --defined-only -C "$TOOL" 2>/dev/null | awk '$2 == "T"' | cut -d' ' -f3- | sort -u > "$WORK/tool"
    comm -12 "$WORK/exported" "$WORK/tool" > "$WORK/toolleak"
    if [ -s "$WORK/toolleak" ]; then
        echo "check-exports: the tool's code is exported:"
        head -20 "$WORK/toolleak"
        status=1
    fi
fi

echo "check-exports: $(wc -l < "$WORK/exported") symbols exported by $LIB"
exit $status
