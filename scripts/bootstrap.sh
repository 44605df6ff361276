#!/usr/bin/env bash
# Installs what building and testing need; does nothing when all is there.
set -euo pipefail

need_apt=()
for pkg in libsodium-dev libargon2-dev libxxhash-dev libgtest-dev pkg-config cmake g++; do
  dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || need_apt+=("$pkg")
done
if [ ${#need_apt[@]} -gt 0 ]; then
  echo "bootstrap: installing ${need_apt[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${need_apt[@]}" >/dev/null
fi

PY=${PYTHON:-python3}
need_pip=()
for mod in pytest:pytest hypothesis:hypothesis xxhash:xxhash scikit_build_core:scikit-build-core ninja:ninja; do
  "$PY" -c "import ${mod%%:*}" 2>/dev/null || need_pip+=("${mod#*:}")
done
"$PY" -c "import shutil,sys; sys.exit(0 if shutil.which('cmake') else 1)" || need_pip+=(cmake)
if [ ${#need_pip[@]} -gt 0 ]; then
  echo "bootstrap: pip installing ${need_pip[*]}"
  "$PY" -m pip install -q "${need_pip[@]}"
fi
