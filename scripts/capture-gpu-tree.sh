#!/usr/bin/env bash
# Copies what gpuproc reads about GPU use on this machine into a folder that
# replays it: run the library or gpuproc with HOST_PROC=<out>/proc and
# HOST_SYS=<out>/sys to see what it sees here. Attach the folder (as a tar
# file) to a bug report.
#
#   scripts/capture-gpu-tree.sh OUT [PID...]
#
# Without PIDs every process that has a DRM or accel device open, or ROCm
# compute under KFD, is captured. Run it as root to include other users'
# processes. Only device fds are recorded (fd links into /dev/dri/ and
# /dev/accel/ with their fdinfo, and /dev/kfd), with each process's exe link
# and cgroup file (the container or systemd unit it runs in) and, from sysfs,
# the DRM and accel nodes' device and driver links, each device's PCI ids,
# amdgpu's mem_info_* files, each device's hwmon folder and busy and
# frequency files, ivpu's npu_busy_time_us, the profiling switch of panfrost
# and panthor, the KFD topology's nodes and each captured process's KFD
# figures, and the dmem cgroup root figures: no other file names or contents
# of the processes leave the machine.
#
# HOST_PROC and HOST_SYS, when set, name the trees to copy from instead of
# /proc and /sys (to re-capture a captured tree).
set -uo pipefail

if [ $# -lt 1 ] || [ "$1" = "-h" ] || [ "$1" = "--help" ]; then
  sed -n '2,20p' "$0" | sed 's/^# \{0,1\}//'
  [ $# -ge 1 ] && exit 0
  exit 2
fi

out=$1
shift
proc=${HOST_PROC:-/proc}
sys=${HOST_SYS:-/sys}
mkdir -p "$out/proc" "$out/sys/class/drm" || exit 1

capture_process() {  # capture_process PID ALWAYS(0/1)
  local pid=$1 always=$2 fdpath fd target found=0
  for fdpath in "$proc/$pid"/fd/*; do
    fd=${fdpath##*/}
    target=$(readlink "$fdpath" 2>/dev/null) || continue
    case $target in
      /dev/dri/* | /dev/accel/*) ;;
      /dev/kfd)
        # ROCm's compute device: its figures are KFD's own, below.
        mkdir -p "$out/proc/$pid/fd"
        ln -sfn "$target" "$out/proc/$pid/fd/$fd"
        found=1
        continue
        ;;
      *) continue ;;
    esac
    mkdir -p "$out/proc/$pid/fd" "$out/proc/$pid/fdinfo"
    ln -sfn "$target" "$out/proc/$pid/fd/$fd"
    # procfs files report size 0: read them, do not cp them.
    cat "$proc/$pid/fdinfo/$fd" >"$out/proc/$pid/fdinfo/$fd" 2>/dev/null ||
      rm -f "$out/proc/$pid/fdinfo/$fd"
    found=1
  done
  # What KFD publishes about the process's ROCm compute, per GPU.
  local kfd=$sys/class/kfd/kfd/proc/$pid file name
  if [ -d "$kfd" ]; then
    for file in "$kfd"/vram_* "$kfd"/sdma_* "$kfd"/stats_*/cu_occupancy "$kfd"/stats_*/evicted_ms; do
      [ -r "$file" ] || continue
      name=${file#"$kfd"/}
      mkdir -p "$(dirname "$out/sys/class/kfd/kfd/proc/$pid/$name")"
      cat "$file" >"$out/sys/class/kfd/kfd/proc/$pid/$name" 2>/dev/null
      found=1
    done
  fi
  if [ "$found" = 1 ] || [ "$always" = 1 ]; then
    mkdir -p "$out/proc/$pid"
    target=$(readlink "$proc/$pid/exe" 2>/dev/null) && ln -sfn "$target" "$out/proc/$pid/exe"
    cat "$proc/$pid/cgroup" >"$out/proc/$pid/cgroup" 2>/dev/null || rm -f "$out/proc/$pid/cgroup"
  fi
  return 0
}

if [ $# -gt 0 ]; then
  for pid in "$@"; do
    case $pid in
      '' | *[!0-9]*) echo "capture-gpu-tree: not a process id: $pid" >&2; exit 2 ;;
    esac
    capture_process "$pid" 1
  done
else
  for dir in "$proc"/[0-9]*; do
    capture_process "${dir##*/}" 0
  done
fi

sysroot=$(realpath -m "$sys")
for node in "$sys"/class/drm/* "$sys"/class/accel/*; do
  name=${node##*/}
  class=${node%/*}
  class=${class##*/}
  case $class/$name in
    drm/card[0-9]* | drm/renderD[0-9]* | accel/accel[0-9]*) ;;
    *) continue ;;
  esac
  case $name in *-*) continue ;; esac  # connectors such as card0-DP-1
  [ -L "$node/device" ] || continue
  device=$(realpath -m "$node/device")
  relative=${device#"$sysroot"/}
  [ "$relative" = "$device" ] && continue
  mkdir -p "$out/sys/class/$class/$name"
  ln -sfn "../../../$relative" "$out/sys/class/$class/$name/device"
  # The driver the device is bound to: only the last component is read.
  if target=$(readlink "$device/driver" 2>/dev/null); then
    mkdir -p "$out/sys/$relative"
    ln -sfn "$target" "$out/sys/$relative/driver"
  fi
  for file in mem_info_vram_total mem_info_vram_used mem_info_gtt_total mem_info_gtt_used \
    mem_info_vis_vram_total mem_info_vis_vram_used vendor device npu_busy_time_us profiling; do
    if [ -r "$device/$file" ]; then
      mkdir -p "$out/sys/$relative"
      cat "$device/$file" >"$out/sys/$relative/$file" 2>/dev/null
    fi
  done
  # What the device says about itself: its hwmon folder (power, energy,
  # temperatures, clocks, fan), amdgpu's busy percentages, and i915's (on
  # the card) and xe's (per GT) actual frequency. A file that cannot be read
  # (write-only controls) is left out.
  for file in "$device"/hwmon/hwmon*/name "$device"/hwmon/hwmon*/power* \
    "$device"/hwmon/hwmon*/energy* "$device"/hwmon/hwmon*/temp* "$device"/hwmon/hwmon*/freq* \
    "$device"/hwmon/hwmon*/fan* "$device"/hwmon/hwmon*/in*_input "$device"/hwmon/hwmon*/pwm[0-9] \
    "$device"/gpu_busy_percent "$device"/mem_busy_percent "$device"/tile*/gt*/freq0/act_freq \
    "$device"/tile*/gt*/freq0/max_freq; do
    [ -f "$file" ] || continue
    value=$(cat "$file" 2>/dev/null) || continue
    mkdir -p "$(dirname "$out/sys/$relative/${file#"$device"/}")"
    printf '%s\n' "$value" >"$out/sys/$relative/${file#"$device"/}"
  done
  if value=$(cat "$node/gt_act_freq_mhz" 2>/dev/null); then
    printf '%s\n' "$value" >"$out/sys/class/drm/$name/gt_act_freq_mhz"
  fi
done

# The KFD compute topology (which amdgpu device is an APU) and the dmem
# cgroup controller's root figures (xe's VRAM use).
for properties in "$sys"/class/kfd/kfd/topology/nodes/*/properties; do
  [ -r "$properties" ] || continue
  node=${properties%/properties}
  node=${node##*/}
  mkdir -p "$out/sys/class/kfd/kfd/topology/nodes/$node"
  cat "$properties" >"$out/sys/class/kfd/kfd/topology/nodes/$node/properties" 2>/dev/null
  # The number KFD's per-process files are named by.
  if [ -r "${properties%/properties}/gpu_id" ]; then
    cat "${properties%/properties}/gpu_id" >"$out/sys/class/kfd/kfd/topology/nodes/$node/gpu_id"
  fi
done
for file in dmem.capacity dmem.current; do
  if [ -r "$sys/fs/cgroup/$file" ]; then
    mkdir -p "$out/sys/fs/cgroup"
    cat "$sys/fs/cgroup/$file" >"$out/sys/fs/cgroup/$file" 2>/dev/null
  fi
done

echo "captured into $out: replay with HOST_PROC=$out/proc HOST_SYS=$out/sys"
