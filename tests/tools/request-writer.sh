#!/usr/bin/env bash
# Plays the outside request writer on a request database with the sqlite3 tool.
#   request-writer.sh create DB             makes the tables and Config rows 1 to 5 ("False")
#   request-writer.sh add DB FILE [N] [DATE] [STATUS]
#                                           adds a request (N requests, default 1; DATE default now;
#                                           STATUS default NA) and sets Config row 5 to "True"
#   request-writer.sh flag DB VALUE         sets Config row 5 to VALUE
#   request-writer.sh get DB ID             prints ConfigValue of Config row ID
#   request-writer.sh count DB              prints the number of request records
#   request-writer.sh lock DB [FILE]        holds the write lock (prints "locked" once it has it) until
#                                           a file DB.release appears, then lets go; with FILE, a
#                                           request for it is added in that transaction (the flag
#                                           raised), seen by others only once the lock goes
#   request-writer.sh many DB N [OLD]       adds N pending requests ("/m/song I.mp3", I = 1..N, I % 7
#                                           requests, one second apart) and OLD taken ones (Status
#                                           'OK', long paths), and sets Config row 5 to "True"
#   request-writer.sh endless DB TABLE      a hostile writer: TABLE (Config or UserRequests) becomes a
#                                           view over a query that never ends, and every edit of it
#                                           runs that query
set -euo pipefail

usage() {
    sed -n '2,/^set /{/^set /d;s/^# \{0,1\}//;p}' "$0" >&2
    exit 2
}

[ $# -ge 2 ] || usage
cmd=$1
db=$2

# Text as an SQL string literal: single quotes doubled.
lit() { printf "'%s'" "${1//\'/\'\'}"; }

sql() { sqlite3 -batch -cmd '.timeout 5000' "$db" "$@"; }

case $cmd in
create)
    sql "CREATE TABLE UserRequests (RequestFilename TEXT, Status TEXT, NumRequests INTEGER, RequestDate TEXT);
         CREATE TABLE Config (ID INTEGER, ConfigValue TEXT);
         INSERT INTO Config VALUES (1,'False'),(2,'False'),(3,'False'),(4,'False'),(5,'False');"
    ;;
add)
    file=${3:?file}
    n=${4:-1}
    [[ $n =~ ^[0-9]+$ ]] || { echo "request count must be a number" >&2; exit 2; }
    date=${5:-$(date -u '+%Y-%m-%d %H:%M:%S')}
    status=${6:-NA}
    sql "BEGIN; INSERT INTO UserRequests VALUES ($(lit "$file"), $(lit "$status"), $n, $(lit "$date"));
         UPDATE Config SET ConfigValue='True' WHERE ID=5; COMMIT;"
    ;;
flag)
    sql "UPDATE Config SET ConfigValue=$(lit "${3?value}") WHERE ID=5;"
    ;;
get)
    id=${3:?id}
    [[ $id =~ ^[0-9]+$ ]] || { echo "id must be a number" >&2; exit 2; }
    sql "SELECT ConfigValue FROM Config WHERE ID=$id;"
    ;;
count)
    sql "SELECT count(*) FROM UserRequests;"
    ;;
lock)
    rm -f "$db.release"
    add=""
    if [ $# -ge 3 ]; then
        add="INSERT INTO UserRequests VALUES ($(lit "$3"), 'NA', 1, $(lit "$(date -u '+%Y-%m-%d %H:%M:%S')"));
             UPDATE Config SET ConfigValue='True' WHERE ID=5;"
    fi
    # The transaction stays open while the input is held back.
    {
        echo "BEGIN IMMEDIATE; UPDATE Config SET ConfigValue=ConfigValue WHERE ID=1; $add SELECT 'locked';"
        while [ ! -e "$db.release" ]; do sleep 0.05; done
        echo "COMMIT;"
    } | sqlite3 -batch "$db"
    rm -f "$db.release"
    ;;
many)
    n=${3:?count}
    old=${4:-0}
    [[ $n =~ ^[0-9]+$ && $old =~ ^[0-9]+$ ]] || { echo "counts must be numbers" >&2; exit 2; }
    sql "BEGIN;
         WITH RECURSIVE c(i) AS (SELECT 1 WHERE $n > 0 UNION ALL SELECT i+1 FROM c WHERE i < $n)
         INSERT INTO UserRequests SELECT '/m/song ' || i || '.mp3', 'NA', i % 7, datetime(1700000000 + i, 'unixepoch') FROM c;
         WITH RECURSIVE c(i) AS (SELECT 1 WHERE $old > 0 UNION ALL SELECT i+1 FROM c WHERE i < $old)
         INSERT INTO UserRequests SELECT '/music/' || hex(zeroblob(160)) || '/played ' || i || '.mp3', 'OK', i % 9,
                                         datetime(1600000000 + i, 'unixepoch') FROM c;
         UPDATE Config SET ConfigValue='True' WHERE ID=5; COMMIT;"
    ;;
endless)
    table=${3:?table}
    [[ $table =~ ^(Config|UserRequests)$ ]] || { echo "table must be Config or UserRequests" >&2; exit 2; }
    never="(WITH RECURSIVE r(n) AS (SELECT 1 UNION ALL SELECT n+1 FROM r) SELECT count(*) FROM r)"
    sql "ALTER TABLE $table RENAME TO ${table}Rows;
         CREATE VIEW $table AS SELECT * FROM ${table}Rows WHERE $never > 0;
         CREATE TRIGGER ${table}Edit INSTEAD OF UPDATE ON $table BEGIN SELECT $never; END;
         CREATE TRIGGER ${table}Drop INSTEAD OF DELETE ON $table BEGIN SELECT $never; END;"
    ;;
*)
    echo "unknown command: $cmd" >&2
    usage
    ;;
esac
