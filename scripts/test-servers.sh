#!/usr/bin/env bash
# Starts (or stops) throwaway PostgreSQL and MariaDB servers on loopback ports for the tests,
# loads the Chinook database and small fixture tables into both, and registers real ODBC
# drivers in a private odbcinst.ini. Everything lives under one temporary directory.
#
#   scripts/test-servers.sh start   # idempotent; writes $root/env with export lines
#   scripts/test-servers.sh stop    # stops both servers and removes $root
#   scripts/test-servers.sh status
#
# Overrides: VELTAAI_TEST_SERVERS_DIR, VELTAAI_TEST_PG_PORT, VELTAAI_TEST_MYSQL_PORT,
# VELTAAI_SHARED_DIR (holds data/chinook).
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
root=${VELTAAI_TEST_SERVERS_DIR:-/tmp/veltaai-test-servers}
shared=${VELTAAI_SHARED_DIR:-$repo/../shared}
chinook=$shared/data/chinook
fixtures=$repo/tests/fixtures
pg_port=${VELTAAI_TEST_PG_PORT:-55432}
my_port=${VELTAAI_TEST_MYSQL_PORT:-33306}
user=veltaai
password=veltaai-test

pg_bin=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n1)
odbc_dir=/usr/lib/x86_64-linux-gnu/odbc
[ -d "$odbc_dir" ] || odbc_dir=$(dirname "$(find /usr/lib -name psqlodbcw.so 2>/dev/null | head -n1)")

# The servers refuse to run as root; they run as their own system users.
as_user() {
  local who=$1; shift
  if [ "$(id -u)" -eq 0 ]; then runuser -u "$who" -- "$@"; else "$@"; fi
}

pg_running() {
  [ -f "$root/pg/data/postmaster.pid" ] && as_user postgres "$pg_bin/pg_ctl" -D "$root/pg/data" status >/dev/null 2>&1
}

my_running() {
  [ -f "$root/mysql/mysqld.pid" ] && kill -0 "$(cat "$root/mysql/mysqld.pid")" 2>/dev/null
}

psql_() { PGPASSWORD=$password psql -X -q -v ON_ERROR_STOP=1 -h 127.0.0.1 -p "$pg_port" -U "$user" "$@"; }
mariadb_() {
  mariadb --no-defaults -h 127.0.0.1 -P "$my_port" -u "$user" -p"$password" --default-character-set=utf8mb4 "$@"
}

start_pg() {
  if pg_running; then return; fi
  rm -rf "$root/pg"
  mkdir -p "$root/pg"
  printf '%s\n' "$password" >"$root/pg/pwfile"
  [ "$(id -u)" -eq 0 ] && chown -R postgres: "$root/pg"
  as_user postgres "$pg_bin/initdb" -D "$root/pg/data" -E UTF8 --locale=C.UTF-8 -U "$user" \
    --pwfile="$root/pg/pwfile" -A scram-sha-256 >"$root/pg/initdb.log" 2>&1
  rm -f "$root/pg/pwfile"
  # Durability is worthless for a throwaway server; turning it off makes loading fast.
  as_user postgres "$pg_bin/pg_ctl" -D "$root/pg/data" -l "$root/pg/server.log" -w -t 60 \
    -o "-c listen_addresses=127.0.0.1 -p $pg_port -k $root/pg -c fsync=off -c synchronous_commit=off -c full_page_writes=off -c max_connections=200" \
    start >/dev/null
  psql_ -d postgres -f "$chinook/Chinook_PostgreSql.sql" 2>&1 | grep -v 'does not exist, skipping' || true
  # veltaai_scratch takes tables tests create; veltaai_probe is only ever connected to by the
  # test that counts connections.
  psql_ -d postgres -c 'CREATE DATABASE veltaai_fixtures' -c 'CREATE DATABASE veltaai_empty' \
    -c 'CREATE DATABASE veltaai_scratch' -c 'CREATE DATABASE veltaai_probe'
  psql_ -d veltaai_fixtures -f "$fixtures/postgresql.sql"
}

start_mysql() {
  if my_running; then return; fi
  rm -rf "$root/mysql"
  mkdir -p "$root/mysql/data"
  [ "$(id -u)" -eq 0 ] && chown -R mysql: "$root/mysql"
  mariadb-install-db --no-defaults --user=mysql --datadir="$root/mysql/data" \
    --auth-root-authentication-method=normal --skip-test-db >"$root/mysql/install.log" 2>&1
  setsid -f /usr/sbin/mariadbd --no-defaults --user=mysql --datadir="$root/mysql/data" \
    --bind-address=127.0.0.1 --port="$my_port" --socket="$root/mysql/mysqld.sock" \
    --pid-file="$root/mysql/mysqld.pid" --log-error="$root/mysql/error.log" --skip-name-resolve \
    --character-set-server=utf8mb4 --collation-server=utf8mb4_general_ci \
    --innodb-flush-log-at-trx-commit=0 --innodb-doublewrite=0 --skip-log-bin \
    --max-connections=200 </dev/null >/dev/null 2>&1
  for _ in $(seq 1 300); do
    [ -S "$root/mysql/mysqld.sock" ] && mariadb --no-defaults -S "$root/mysql/mysqld.sock" -u root -e 'SELECT 1' >/dev/null 2>&1 && break
    sleep 0.1
  done
  mariadb --no-defaults -S "$root/mysql/mysqld.sock" -u root <<SQL
CREATE USER '$user'@'%' IDENTIFIED BY '$password';
GRANT ALL PRIVILEGES ON *.* TO '$user'@'%' WITH GRANT OPTION;
CREATE DATABASE veltaai_fixtures CHARACTER SET utf8mb4;
CREATE DATABASE veltaai_empty CHARACTER SET utf8mb4;
CREATE DATABASE veltaai_scratch CHARACTER SET utf8mb4;
SQL
  # Chinook's track names hold backslashes that MySQL's default escaping would eat.
  mariadb_ --init-command="SET SESSION sql_mode=CONCAT(@@SESSION.sql_mode, ',NO_BACKSLASH_ESCAPES')" \
    <"$chinook/Chinook_MySql.sql"
  mariadb_ veltaai_fixtures <"$fixtures/mysql.sql"
}

write_odbc() {
  mkdir -p "$root/odbc"
  cp "$chinook/chinook.sqlite" "$root/odbc/chinook.sqlite"
  chmod u+w "$root/odbc/chinook.sqlite"
  # "SQL Server" is the name the MsSQL connection strings ask for; here it is a real SQLite
  # driver, which ignores SERVER/UID/PWD and opens the file named by DATABASE.
  cat >"$root/odbc/odbcinst.ini" <<INI
[PostgreSQL Unicode]
Description=PostgreSQL ODBC driver (Unicode)
Driver=$odbc_dir/psqlodbcw.so

[SQLite3]
Description=SQLite3 ODBC driver
Driver=$odbc_dir/libsqlite3odbc.so

[SQL Server]
Description=SQLite3 ODBC driver registered under the SQL Server name for tests
Driver=$odbc_dir/libsqlite3odbc.so
INI
  : >"$root/odbc/odbc.ini"
}

write_env() {
  cat >"$root/env.tmp" <<ENV
export VELTAAI_TEST_SERVERS_DIR='$root'
export VELTAAI_TEST_PG_HOST='127.0.0.1'
export VELTAAI_TEST_PG_PORT='$pg_port'
export VELTAAI_TEST_PG_USER='$user'
export VELTAAI_TEST_PG_PASSWORD='$password'
export VELTAAI_TEST_MYSQL_HOST='127.0.0.1'
export VELTAAI_TEST_MYSQL_PORT='$my_port'
export VELTAAI_TEST_MYSQL_USER='$user'
export VELTAAI_TEST_MYSQL_PASSWORD='$password'
export ODBCSYSINI='$root/odbc'
export ODBCINI='$root/odbc/odbc.ini'
export VELTAAI_TEST_ODBC_SQLITE_DB='$root/odbc/chinook.sqlite'
ENV
  mv "$root/env.tmp" "$root/env"
}

case "${1:-}" in
  start)
    mkdir -p "$root"
    chmod 755 "$root"
    start_pg &
    pg_job=$!
    start_mysql
    wait "$pg_job"
    write_odbc
    write_env
    echo "test servers: PostgreSQL on 127.0.0.1:$pg_port, MariaDB on 127.0.0.1:$my_port; source $root/env"
    ;;
  stop)
    if pg_running; then as_user postgres "$pg_bin/pg_ctl" -D "$root/pg/data" -m fast -w stop >/dev/null || true; fi
    if my_running; then
      pid=$(cat "$root/mysql/mysqld.pid")
      kill "$pid" 2>/dev/null || true
      for _ in $(seq 1 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    fi
    rm -rf "$root"
    echo "test servers: stopped"
    ;;
  status)
    pg_running && echo "PostgreSQL: running on $pg_port" || echo "PostgreSQL: stopped"
    my_running && echo "MariaDB: running on $my_port" || echo "MariaDB: stopped"
    ;;
  *)
    echo "usage: $0 start|stop|status" >&2
    exit 2
    ;;
esac
