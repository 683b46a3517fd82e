#!/usr/bin/env bash
# The OpenID provider used by the identity integration tests: npm packages of
# tests/peers/oidc, installed from its lock file. Skipped when node_modules
# already matches the lock file.
set -euo pipefail
peer="$(cd "$(dirname "${BASH_SOURCE[0]}")/../../tests/peers/oidc" && pwd)"

if ! command -v npm >/dev/null 2>&1; then
  # Debian's nodejs comes without npm; the NodeSource package carries its own.
  export DEBIAN_FRONTEND=noninteractive
  sudo_cmd=()
  if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi
  "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends npm
fi

stamp="$peer/node_modules/.package-lock.json"
if [ -f "$stamp" ] && [ "$stamp" -nt "$peer/package-lock.json" ] && [ -d "$peer/node_modules/oidc-provider" ]; then
  echo "identity.sh: tests/peers/oidc is up to date"
  exit 0
fi
cd "$peer"
npm ci --no-audit --no-fund --loglevel=error
