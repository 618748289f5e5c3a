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
inside=
[ "${1:-}" = --inside ] && inside=1 && shift
build=$(cd "$1" && pwd)
arch=$2
case $arch in
  amd64) triple=x86_64-linux-gnu machine='X86-64' emu=() ;;
  armhf) triple=arm-linux-gnueabihf machine='ARM' emu=(qemu-arm -L /usr/arm-linux-gnueabihf) ;;
  arm64) triple=aarch64-linux-gnu machine='AArch64' emu=(qemu-aarch64 -L /usr/aarch64-linux-gnu) ;;
  *) echo "deb_test: unknown architecture $arch" >&2; exit 2 ;;
esac

passed=0 failed=0
check() { # check TEXT COMMAND...: one named check
  local text=$1; shift
  if "$@"; then passed=$((passed + 1)); return; fi
  failed=$((failed + 1))
  echo "deb_test $arch: FAILED: $text" >&2
}
summary() { # summary [WHAT]
  echo "deb_test $arch${1:+ ($1)}: $passed passed, $failed failed"
  [ "$failed" -eq 0 ]
}

# ---- inside the sandbox: pid 1 of private IPC, mount and PID namespaces
if [ -n "$inside" ]; then
  root=$3
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

  # The mode query "cm" of the simulated camera (type 10: code, no
  # arguments, source /to_camera, destination /to_kxnet, end; 45 bytes), and
  # its answer: type 11, the address elements' types exchanged, the response
  # "00 00" (accepted, mode 0) before the end element (51 bytes).
  camera='2F 74 6F 5F 63 61 6D 65 72 61' kxnet='2F 74 6F 5F 6B 78 6E 65 74'
  cm="00 2D 00 0A 00 00 02 41 63 6D 00 00 00 42 00 00 0A 44 $camera 00 00 09 43 $kxnet 00 00 00 EE"
  answer="00 33 00 0B 00 00 02 41 63 6D 00 00 00 42 00 00 0A 43 $camera 00 00 09 44 $kxnet"
  answer+=" 00 00 02 45 00 00 00 00 00 EE"
  asked="${cm// /} ${answer// /}"
  asked=${asked,,}

  # The package's kxctl asks, as a developer would, once the mailboxes are
  # there, and shows the bytes of both messages. Under qemu it finds libpng
  # where a board has it from Depends: here, among the target's libraries.
  kxctl=("${emu[@]}")
  libs=$PWD/build-targetlibs-$arch
  [ "$arch" = amd64 ] || kxctl+=(-E "LD_LIBRARY_PATH=$libs/lib/$triple:$libs/usr/lib/$triple")
  kxctl+=("$root/usr/bin/kxctl" --json -v call cm -t 20)
  ask() {
    local i out
    for i in $(seq 100); do
      out=$("${kxctl[@]}" 2>/dev/null) && break
      sleep 0.2
    done
    sed -n 's/.*"hex":"\([0-9a-f]*\)".*/\1/p' <<<"$out" | paste -sd ' '
  }

  # The daemon as a service manager starts it: from pid 1 (this shell),
  # without CAP_SYS_RESOURCE, which would lift the queue limit.
  nocap=(setpriv --inh-caps=-sys_resource --bounding-set=-sys_resource --)
  run_service() { # run_service NAME COMMAND...
    local name=$1 reply; shift
    rm -f /tmp/mq/*
    "${nocap[@]}" "$@" >"/tmp/$name.out" 2>&1 &
    local pid=$!
    reply=$(ask)
    check "$name: kxctl asks the mode, the daemon answers ($reply)" [ "$reply" = "$asked" ]
    check "$name: the process that pid 1 started is the daemon (it did not detach)" kill -0 "$pid"
    check "$name: mailboxes are 0664" [ "$(stat -c %a /tmp/mq/to_kxnet 2>&1)" = 664 ]
    kill -KILL "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
    if [ "$failed" -gt 0 ]; then echo "--- $name output:" >&2; tail -20 "/tmp/$name.out" >&2; fi
  }

  # The systemd unit: ExecStart and UMask, the daemon run under qemu for a
  # foreign architecture (the emulator goes in front, the path into root).
  unit=$root/usr/lib/systemd/system/kxrediro.service
  umask_value=$(sed -n 's/^UMask=//p' "$unit")
  read -r -a exec_line <<<"$(sed -n 's/^ExecStart=//p' "$unit")"
  daemon=("${emu[@]}" "$root${exec_line[0]}" "${exec_line[@]:1}" -s)

  # Without the drop-in the fresh namespace has Linux's default limit, and
  # the daemon stops at its first 40-message mailbox.
  check "a fresh IPC namespace starts at msg_max 10" [ "$(cat /proc/sys/fs/mqueue/msg_max)" = 10 ]
  (umask "$umask_value"; exec "${nocap[@]}" "${daemon[@]}") >/tmp/nolimit.out 2>&1
  status=$?
  check "without the drop-in the daemon ends with status 255 (got $status)" [ "$status" = 255 ]
  check "without the drop-in /to_kxnet is never made" [ ! -e /tmp/mq/to_kxnet ]
  sysctl -q -p "$root/usr/lib/sysctl.d/60-kxrediro.conf"
  check "the drop-in raises msg_max to 40 or more" [ "$(cat /proc/sys/fs/mqueue/msg_max)" -ge 40 ]
  run_service systemd sh -c "umask $umask_value; exec \"\$@\"" sh "${daemon[@]}"

  # The procd script: what start_service hands to procd, with stand-ins for
  # procd's functions; the daemon's path in it goes into root.
  procd_open_instance() { :; }
  procd_close_instance() { :; }
  procd_set_param() { # keeps the command and the respawn setting
    local what=$1; shift
    case $what in command) procd_command=("$@") ;; respawn) respawn=("$@") ;; esac
  }
  # shellcheck disable=SC1090
  . "$root/usr/share/kxRedIro/openwrt/kxrediro"
  start_service
  check "procd: respawns without a limit on retries" [ "${respawn[2]:-}" = 0 ]
  check "procd: the command runs the installed daemon ($PROG)" [ -x "$root$PROG" ]
  last=$((${#procd_command[@]} - 1))
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
while read -r mode path; do # an entry of the listing with this mode string, owned by root
  check "$path ($mode)" grep -qE "^$mode root/root .* \./$path\$" <<<"$contents"
done <<LIST
-rwxr-xr-x usr/sbin/kxRedIro
-rw-r--r-- usr/lib/$triple/libkxCommon.a
-rw-r--r-- usr/include/kxCommon.h
-rw-r--r-- usr/lib/$triple/pkgconfig/libkxCommon.pc
-rw-r--r-- usr/lib/$triple/cmake/kxCommon/kxCommonConfig.cmake
-rw-r--r-- usr/lib/$triple/cmake/kxipc/kxipcConfig.cmake
-rw-r--r-- usr/lib/systemd/system/kxrediro.service
-rw-r--r-- usr/lib/sysctl.d/60-kxrediro.conf
-rwxr-xr-x usr/share/kxRedIro/openwrt/kxrediro
-rw-r--r-- usr/lib/python3/dist-packages/kxtest/__init__.py
LIST
check "everything below /usr, owned by root" \
  bash -c '! grep -vE "^[-dlrwx]{10} root/root .* \./(usr(/.*)?)?$" <<<"$1"' _ "$contents"
check "no test program, benchmark or test library" \
  bash -c '! grep -qE "_test|kxbench|alloccount|gtest|gmock" <<<"$1"' _ "$contents"
check "a postinst that raises the limit" \
  bash -c 'dpkg-deb --ctrl-tarfile "$1" | tar -xO ./postinst | grep -q msg_max' _ "$deb"
check "a prerm that stops the unit when the package is removed" \
  bash -c 'dpkg-deb --ctrl-tarfile "$1" | tar -xO ./prerm | grep -q "systemctl stop kxrediro"' _ "$deb"

# Below the build tree, not /tmp: the sandbox has a /tmp of its own.
root=$build/packages/root
rm -rf "$root" && mkdir -p "$root" && dpkg-deb -x "$deb" "$root"
daemon=$root/usr/sbin/kxRedIro
check "daemon built for $machine" \
  bash -c 'readelf -h "$1" | grep -q "Machine:.*$2"' _ "$daemon" "$machine"
check "daemon stripped" bash -c '! readelf -S "$1" | grep -qE "\.symtab|\.debug_"' _ "$daemon"

# Depends names the package of every library the programs need, and a
# libc6 at least as new as the newest symbol version they use.
depends=", $(field Depends),"
declare -A provider=([libc.so.6]=libc6 [libm.so.6]=libc6 [libstdc++.so.6]=libstdc++6
  [libgcc_s.so.1]=libgcc-s1 [libpng16.so.16]=libpng16-16 [libz.so.1]=zlib1g)
for program in "$root"/usr/sbin/* "$root"/usr/bin/*; do
  [ -f "$program" ] || continue
  name=${program#"$root"}
  for lib in $(readelf -d "$program" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'); do
    package=${provider[$lib]:-}
    check "$name needs $lib: Depends names its package (${package:-none of Debian})" \
      grep -qF -e ", ${package:-?} " -e ", ${package:-?}," <<<"$depends"
  done
  newest=$(readelf --dyn-syms -W "$program" | grep -o 'GLIBC_[0-9.]*' | sed 's/GLIBC_//' |
    sort -V | tail -n 1)
  wanted=$(sed -nE 's/.*, libc6 \(>= ([0-9.]+)\),.*/\1/p' <<<"$depends")
  check "$name uses glibc $newest symbols; Depends libc6 (>= ${wanted:-?})" \
    dpkg --compare-versions "${wanted:-0}" ge "${newest:-0}"
done

# The service files name the daemon where the package put it.
unit=$root/usr/lib/systemd/system/kxrediro.service
check "systemd: a simple service" grep -qx 'Type=simple' "$unit"
check "systemd: ExecStart is the installed daemon" grep -qx 'ExecStart=/usr/sbin/kxRedIro' "$unit"
check "procd script is valid sh" sh -n "$root/usr/share/kxRedIro/openwrt/kxrediro"
if command -v systemd-analyze >/dev/null; then
  # verify wants the programs that a unit names where it names them: a copy
  # that names the unpacked daemon.
  mkdir -p "$root.verify"
  sed "s|^ExecStart=|ExecStart=$root|" "$unit" >"$root.verify/kxrediro.service"
  check "systemd-analyze verify accepts the unit" \
    bash -c 'out=$(systemd-analyze verify "$1" 2>&1); echo -n "$out" >&2; [ -z "$out" ]' \
    _ "$root.verify/kxrediro.service"
  rm -rf "$root.verify"
fi

# The pytest plugin as a user of the installed package has it: the tests
# of its documentation, with netd built against the package's library.
if [ "$arch" = amd64 ] && /usr/bin/python3 -c 'import pytest' 2>/dev/null; then
  src=$(cd "$(dirname "$0")/../.." && pwd)
  python_dir=$root/usr/lib/python3/dist-packages
  check "kxtest is in the package" [ -f "$python_dir/kxtest/__init__.py" ]
  PKG_CONFIG_PATH=$root/usr/lib/$triple/pkgconfig make -s -C "$src/examples/netd" OUT="$root"
  check "the documented tests pass on the package's programs and plugin" \
    env -u KXTEST_BIN PATH="$root/usr/bin:$root/usr/sbin:$PATH" PYTHONPATH="$python_dir" \
    NETD="$root/netd" /usr/bin/python3 -m pytest -p no:cacheprovider -q \
    --basetemp="$build/packages/pytest" "$src/python/tests/test_kxtest.py" -k documented
fi

# Run it: in private namespaces, as pid 1's child; the sandbox counts its
# own checks, and any failure there is one here.
flags=(--ipc --mount --propagation private --pid --fork --mount-proc)
[ "$(id -u)" -eq 0 ] || flags+=(--user --map-root-user)
unshare "${flags[@]}" -- "$0" --inside "$build" "$arch" "$root" ||
  failed=$((failed + 1))
summary
