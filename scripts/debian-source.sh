# Sourced by the scripts that build dependencies from Debian's source
# packages (windows-deps.sh, libcxx-deps.sh). Not a program of its own.
#
#   debsrc_init CACHE_DIR         private apt state (a deb-src list) under CACHE_DIR
#   debsrc_version PACKAGE        the newest version whose files download; fetches them
#   debsrc_extract PACKAGE DIR    unpacks that version, Debian's patches applied, into DIR
#
# apt's own configuration and lists are left alone: the deb-src list, its
# package lists and the downloaded files live under CACHE_DIR, and the lists
# are refreshed at most once a day.

debsrc_init() {
  _debsrc_dir="$1/apt"
  mkdir -p "$_debsrc_dir/parts" "$_debsrc_dir/lists/partial" "$_debsrc_dir/cache/archives/partial" \
           "$_debsrc_dir/files"
  local suite
  suite=$(. /etc/os-release && echo "${VERSION_CODENAME:-bookworm}")
  cat >"$_debsrc_dir/parts/iotcloud-src.sources" <<EOF
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: $suite $suite-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg

Types: deb-src
URIs: http://deb.debian.org/debian-security
Suites: $suite-security
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
EOF
  _debsrc_opts=(-o "Dir::Etc::SourceParts=$_debsrc_dir/parts" -o Dir::Etc::SourceList=/dev/null
                -o "Dir::State::Lists=$_debsrc_dir/lists" -o "Dir::Cache=$_debsrc_dir/cache"
                -o APT::Sandbox::User=root)
  local stamp="$_debsrc_dir/lists/.updated"
  if [ -z "$(find "$stamp" -mmin -1440 2>/dev/null)" ]; then
    if apt-get "${_debsrc_opts[@]}" update -qq >&2; then
      touch "$stamp"
    elif [ ! -e "$stamp" ]; then
      echo "debian-source: cannot read Debian's source lists" >&2
      return 1
    fi
  fi
}

# Newest first. A version whose files answered 404 once is remembered and
# skipped (the security pool may list a version it no longer serves).
debsrc_version() {
  local pkg="$1" ver dsc
  local files="$_debsrc_dir/files"
  for ver in $(apt-cache "${_debsrc_opts[@]}" showsrc "$pkg" | sed -n 's/^Version: //p' |
               sort -u | sort -r -V); do
    dsc="$files/${pkg}_${ver#*:}.dsc"
    if [ -e "$dsc" ]; then echo "$ver"; return 0; fi
    if grep -qxF "$pkg=$ver" "$files/unavailable" 2>/dev/null; then continue; fi
    if (cd "$files" && apt-get "${_debsrc_opts[@]}" source --download-only -qq "$pkg=$ver" >&2) && [ -e "$dsc" ]; then
      echo "$ver"
      return 0
    fi
    echo "$pkg=$ver" >>"$files/unavailable"
  done
  echo "debian-source: no version of $pkg could be fetched" >&2
  return 1
}

debsrc_extract() {
  local pkg="$1" dest="$2" ver
  ver=$(debsrc_version "$pkg")
  rm -rf "$dest"
  dpkg-source --no-check -x "$_debsrc_dir/files/${pkg}_${ver#*:}.dsc" "$dest" >&2
}
