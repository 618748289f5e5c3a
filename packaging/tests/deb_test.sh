#!/usr/bin/env bash
# deb_test.sh BUILD_DIR ARCH
#
# Makes the Debian package of BUILD_DIR (configured with
# -DCMAKE_INSTALL_PREFIX=/usr) with CPack and checks it as a target would
# see it: its control fields and contents, that its Depends covers what its
# programs need, and, unpacked into a scratch root, that the daemon started
# as the systemd unit and as the procd script start it (by pid 1, under qemu
# for a foreign ARCH) creates its mailboxes only once the sysctl drop-in has
# been applied and then answers a command. Needs root or unprivileged user
# namespaces; the mailboxes live in a private IPC namespace.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)

if [ "${1:-}" = --inside ]; then
  inside=1
  shift
fi
build=$(cd "$1" && pwd)
arch=$2

case $arch in
  amd64) triple=x86_64-linux-gnu machine='X86-64' emu=() ;;
  armhf) triple=arm-linux-gnueabihf machine='ARM' emu=(qemu-arm -L /usr/arm-linux-gnueabihf) ;;
  arm64) triple=aarch64-linux-gnu machine='AArch64' emu=(qemu-aarch64 -L /usr/aarch64-linux-gnu) ;;
  *) echo "deb_test: unknown architecture $arch" >&2; exit 2 ;;
esac

passed=0
failed=0
check() { # check TEXT COMMAND...: one named check
  local text=$1; shift
  if "$@"; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    echo "deb_test $arch: FAILED: $text" >&2
  fi
}
summary() { # summary [WHAT]
  echo "deb_test $arch${1:+ ($1)}: $passed passed, $failed failed"
  [ "$failed" -eq 0 ]
}

# A TLV element: spare 0, big-endian 16-bit length, type, value (text).
element() { # element TYPE-HEX TEXT
  local value=$2 hex=""
  for ((i = 0; i < ${#value}; i++)); do hex+=$(printf ' %02X' "'${value:i:1}"); done
  printf '00 %02X %02X %s%s' $((${#value} >> 8)) $((${#value} & 255)) "$1" "$hex"
}
message() { # message TYPE-HEX ELEMENT-HEX...: big-endian total, spare 0, type
  local body="$*"; body=${body#* }
  local bytes=$(( ($(wc -w <<<"$body") + 4) ))
  printf '%02X %02X 00 %s %s' $((bytes >> 8)) $((bytes & 255)) "$1" "$body"
}

# ---- inside the sandbox: pid 1 of private IPC, mount and PID namespaces
if [ -n "${inside:-}" ]; then
  root=$3
  ask=$4
  # The working tree may lie below /tmp, which is hidden next: keep it
  # visible. Opened here, inside: only a mount of this namespace can be
  # bound, and --no-canonicalize binds the descriptor, not its old path.
  exec 9<"$PWD"
  mount -t tmpfs -o mode=1777 debtest /tmp
  case $PWD in
    /tmp/*) mkdir -p "$PWD" && mount --no-canonicalize --bind /proc/self/fd/9 "$PWD" ;;
  esac
  exec 9<&-
  mkdir -p /tmp/fuse_d /tmp/mq
  mount -t mqueue debtest /tmp/mq
  export KXIPC_DIR=/tmp/kxipc

  # The mode query of the simulated camera, and its answer: type 11, the
  # address elements' types exchanged, the response "00 00" (accepted,
  # mode 0) before the end element.
  cm=$(message 0A "$(element 41 cm)" "$(element 42 '')" "$(element 44 /to_camera)" \
                  "$(element 43 /to_kxnet)" "00 00 00 EE")
  answer=$(message 0B "$(element 41 cm)" "$(element 42 '')" "$(element 43 /to_camera)" \
                      "$(element 44 /to_kxnet)" "00 00 02 45 00 00" "00 00 00 EE")

  # The daemon as a service manager starts it: from pid 1 (this shell),
  # without CAP_SYS_RESOURCE, which would lift the queue limit.
  nocap=(setpriv --inh-caps=-sys_resource --bounding-set=-sys_resource --)
  run_service() { # run_service NAME COMMAND...
    local name=$1; shift
    rm -f /tmp/mq/*
    "${nocap[@]}" "$@" >"/tmp/$name.out" 2>&1 &
    local pid=$!
    local reply
    reply=$("$ask" /to_camera /to_kxnet "$cm" 20000)
    check "$name: the daemon answers the mode query ($reply)" [ "$reply" = "$answer" ]
    check "$name: the process that pid 1 started is the daemon (it did not detach)" kill -0 "$pid"
    check "$name: mailboxes are 0664 ($(stat -c %a /tmp/mq/to_kxnet 2>&1))" \
      [ "$(stat -c %a /tmp/mq/to_kxnet 2>/dev/null)" = 664 ]
    kill -KILL "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
    if [ "$failed" -gt 0 ]; then echo "--- $name output:" >&2; tail -20 "/tmp/$name.out" >&2; fi
  }

  # The systemd unit: ExecStart and UMask, the daemon run under qemu for a
  # foreign architecture (the emulator goes in front, the path into root).
  unit=$root/usr/lib/systemd/system/kxrediro.service
  exec_start=$(sed -n 's/^ExecStart=//p' "$unit")
  umask_value=$(sed -n 's/^UMask=//p' "$unit")
  read -r -a exec_line <<<"$exec_start"

  # Without the drop-in the fresh namespace has Linux's default limit, and
  # the daemon stops at its first 40-message mailbox.
  check "a fresh IPC namespace starts at msg_max 10" [ "$(cat /proc/sys/fs/mqueue/msg_max)" = 10 ]
  (umask "$umask_value"; exec "${nocap[@]}" "${emu[@]}" "$root${exec_line[0]}" "${exec_line[@]:1}" -s) \
    >/tmp/nolimit.out 2>&1
  status=$?
  check "without the drop-in the daemon ends with status 255 (got $status)" [ "$status" = 255 ]
  check "without the drop-in /to_kxnet is never made" [ ! -e /tmp/mq/to_kxnet ]

  sysctl -q -p "$root/usr/lib/sysctl.d/60-kxrediro.conf"
  check "the drop-in raises msg_max to 40 or more" [ "$(cat /proc/sys/fs/mqueue/msg_max)" -ge 40 ]

  run_service systemd sh -c "umask $umask_value; exec \"\$@\" -s" sh \
    "${emu[@]}" "$root${exec_line[0]}" "${exec_line[@]:1}"

  # The procd script: what start_service hands to procd, with stand-ins for
  # procd's functions; the daemon's path in it goes into root.
  init=$root/usr/share/kxRedIro/openwrt/kxrediro
  procd_command=()
  respawn=()
  procd_open_instance() { :; }
  procd_close_instance() { :; }
  procd_set_param() {
    local what=$1; shift
    case $what in
      command) procd_command=("$@") ;;
      respawn) respawn=("$@") ;;
    esac
  }
  # shellcheck disable=SC1090
  . "$init"
  start_service
  check "procd: respawns without a limit on retries" [ "${respawn[2]:-}" = 0 ]
  check "procd: the command runs the installed daemon ($PROG)" [ -x "$root$PROG" ]
  last=$(( ${#procd_command[@]} - 1 ))
  procd_command[last]=${procd_command[last]//$PROG/${emu[*]} $root$PROG -s}
  run_service procd "${procd_command[@]}"
  summary "run in the sandbox"
  exit
fi

# ---- outside: make and read the package
pkgdir=$build/packages
rm -rf "$pkgdir"
if ! cpack -G DEB --config "$build/CPackConfig.cmake" -B "$pkgdir" >"$build/cpack.log" 2>&1; then
  cat "$build/cpack.log" >&2
  echo "deb_test $arch: 0 passed, 1 failed"
  exit 1
fi
deb=$(ls "$pkgdir"/*.deb)
echo "deb_test $arch: $deb"

field() { dpkg-deb -f "$deb" "$1"; }
check "package name kxrediro" [ "$(field Package)" = kxrediro ]
check "architecture $arch ($(field Architecture))" [ "$(field Architecture)" = "$arch" ]
check "file named for $arch" [ "$(basename "$deb")" = "kxrediro_$(field Version)_$arch.deb" ]

contents=$(dpkg-deb -c "$deb")
has() { # has MODE PATH: an entry of the listing with this mode string
  grep -qE "^$1 root/root .* \./$2\$" <<<"$contents"
}
check "daemon in /usr/sbin" has '-rwxr-xr-x' usr/sbin/kxRedIro
check "library in /usr/lib/$triple" has '-rw-r--r--' "usr/lib/$triple/libkxCommon.a"
check "headers" has '-rw-r--r--' usr/include/kxCommon.h
check "pkg-config file" has '-rw-r--r--' "usr/lib/$triple/pkgconfig/libkxCommon.pc"
check "CMake package" has '-rw-r--r--' "usr/lib/$triple/cmake/kxCommon/kxCommonConfig.cmake"
check "systemd unit" has '-rw-r--r--' usr/lib/systemd/system/kxrediro.service
check "sysctl drop-in" has '-rw-r--r--' usr/lib/sysctl.d/60-kxrediro.conf
check "procd script for OpenWrt" has '-rwxr-xr-x' usr/share/kxRedIro/openwrt/kxrediro
check "everything below /usr, owned by root" \
  bash -c '! grep -vE "^[-dlrwx]{10} root/root .* \./(usr(/.*)?)?$" <<<"$1"' _ "$contents"
check "no test program, benchmark or test library" \
  bash -c '! grep -qE "_test|kxbench|alloccount|gtest|gmock" <<<"$1"' _ "$contents"
check "a postinst that raises the limit" \
  bash -c 'dpkg-deb --ctrl-tarfile "$1" | tar -xO ./postinst | grep -q msg_max' _ "$deb"

# Below the build tree, not /tmp: the sandbox has a /tmp of its own.
root=$build/packages/root
rm -rf "$root"
mkdir -p "$root"
dpkg-deb -x "$deb" "$root"

readelf_() { readelf "$@" 2>/dev/null; }
check "daemon built for $machine" bash -c 'readelf -h "$1" | grep -q "Machine:.*$2"' _ "$root/usr/sbin/kxRedIro" "$machine"
check "daemon stripped" bash -c '! readelf -S "$1" | grep -qE "\.symtab|\.debug_"' _ "$root/usr/sbin/kxRedIro"

# Depends names the package of every library the programs need, and a
# libc6 at least as new as the newest symbol version they use.
depends=$(field Depends)
names() { # names DEPENDS PACKAGE: PACKAGE is one of the entries, versioned or not
  local entry
  IFS=, read -r -a entries <<<"$1"
  for entry in "${entries[@]}"; do
    entry=${entry# }
    [ "${entry%% *}" = "$2" ] && return 0
  done
  return 1
}
declare -A provider=([libc.so.6]=libc6 [libm.so.6]=libc6 [libstdc++.so.6]=libstdc++6
  [libgcc_s.so.1]=libgcc-s1 [libpng16.so.16]=libpng16-16 [libz.so.1]=zlib1g)
for program in "$root"/usr/sbin/* "$root"/usr/bin/*; do
  [ -f "$program" ] || continue
  name=${program#"$root"}
  for lib in $(readelf -d "$program" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'); do
    package=${provider[$lib]:-}
    check "$name needs $lib: a package of Debian provides it" [ -n "$package" ]
    [ -n "$package" ] && check "$name needs $lib: Depends names $package" \
      names "$depends" "$package"
  done
  newest=$(readelf --dyn-syms -W "$program" | grep -o 'GLIBC_[0-9.]*' | sed 's/GLIBC_//' | sort -V | tail -n 1)
  wanted=$(grep -oE 'libc6 \(>= [0-9.]+\)' <<<"$depends" | grep -oE '[0-9.]+\)' | tr -d ')')
  check "$name uses glibc $newest symbols; Depends libc6 (>= ${wanted:-?})" \
    dpkg --compare-versions "${wanted:-0}" ge "${newest:-0}"
done

# The service files name the daemon where the package put it.
check "systemd: a simple service" grep -qx 'Type=simple' "$root/usr/lib/systemd/system/kxrediro.service"
check "systemd: ExecStart is the installed daemon" \
  grep -qx 'ExecStart=/usr/sbin/kxRedIro' "$root/usr/lib/systemd/system/kxrediro.service"
check "procd script is valid sh" sh -n "$root/usr/share/kxRedIro/openwrt/kxrediro"
if command -v systemd-analyze >/dev/null; then
  # verify wants the programs that a unit names where it names them: a copy
  # that names the unpacked daemon.
  mkdir -p "$root.verify"
  sed "s|^ExecStart=|ExecStart=$root|" "$root/usr/lib/systemd/system/kxrediro.service" \
    >"$root.verify/kxrediro.service"
  check "systemd-analyze verify accepts the unit" \
    bash -c 'out=$(systemd-analyze verify "$1" 2>&1); echo -n "$out" >&2; [ -z "$out" ]' \
    _ "$root.verify/kxrediro.service"
  rm -rf "$root.verify"
fi

# Run it: in private namespaces, as pid 1's child.
cc -std=c11 -D_GNU_SOURCE -O2 -Wall -Wextra -Werror -o "$root.ask" "$here/kxmqask.c" -lrt
flags=(--ipc --mount --propagation private --pid --fork --mount-proc)
[ "$(id -u)" -eq 0 ] || flags+=(--user --map-root-user)
inner=$(unshare "${flags[@]}" -- "$0" --inside "$build" "$arch" "$root" "$root.ask")
inner_status=$?
echo "$inner"
inner_passed=$(sed -nE 's/.*: ([0-9]+) passed, ([0-9]+) failed$/\1/p' <<<"$inner")
inner_failed=$(sed -nE 's/.*: ([0-9]+) passed, ([0-9]+) failed$/\2/p' <<<"$inner")
# The total below counts the sandbox's checks too.
passed=$((passed + ${inner_passed:-0}))
failed=$((failed + ${inner_failed:-1}))
[ "$inner_status" -eq 0 ] || [ "${inner_failed:-1}" -gt 0 ] || failed=$((failed + 1))
summary
