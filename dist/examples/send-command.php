<?php
// send-command.php [--no-wait] [--timeout=SECONDS] WORD...: sends one account command to
// useraccountd and exits with its outcome, with the statuses of useraccountctl send;
// useraccountd-senders(7) explains each step. Needs php-cli (sysvmsg and posix).
const KEY_FILE = '/quex/etc/useraccount/useraccountkey.json';
const RECORD = '/var/log/useraccountd/outcomes.log';
// Linux's errno numbers, which PHP does not name.
const ENOENT = 2, EINTR = 4, EAGAIN = 11, EACCES = 13, EIDRM = 43;
const STATUSES = ['succeeded' => 0, 'ignored' => 0, 'failed' => 3, 'signal' => 3, 'error' => 3,
                  'refused' => 4, 'oversized' => 4, 'unknown' => 5];

function fail(int $status, string $reason): never
{
    fwrite(STDERR, "send-command.php: $reason\n");
    exit($status);
}

// The record, or null while its directory is there but not the file.
function open_record(string $then)
{
    if (!posix_access(RECORD, POSIX_R_OK)) {
        $error = posix_get_last_error();
        if ($error == ENOENT && is_dir(dirname(RECORD))) {
            return null;
        }
        fail(66, RECORD . ': ' . posix_strerror($error) . "; $then");
    }
    return fopen(RECORD, 'rb') ?: fail(66, RECORD . ": cannot be read; $then");
}

[$args, $blocking, $timeout] = [array_slice($argv, 1), true, 0];
while ($args && preg_match('/^--(?:no-wait|timeout=0*([1-9][0-9]*))$/', $args[0], $m)) {
    array_shift($args);
    [$blocking, $timeout] = isset($m[1]) ? [$blocking, (int) $m[1]] : [false, $timeout];
}
($args && !str_starts_with($args[0], '--'))
    or fail(2, 'usage: send-command.php [--no-wait] [--timeout=SECONDS] WORD...');
// Each word in single quotes, a quote in it as '\''.
$text = implode(' ', array_map(fn($word) => "'" . str_replace("'", "'\\''", $word) . "'", $args));
strlen($text) <= 8191
    or fail(65, 'the command is ' . strlen($text) . ' bytes, over the limit of 8191; nothing sent');
if (!posix_access(KEY_FILE, POSIX_F_OK)) { // ftok() only returns -1
    $error = posix_get_last_error();
    fail($error == ENOENT ? 72 : 1, KEY_FILE . ': ' . posix_strerror($error) . '; nothing sent');
}
$key = ftok(KEY_FILE, 'G');
// msg_get_queue() creates a missing queue: never call it for one that does not exist.
msg_queue_exists($key) or fail(69, 'no queue: the service has not prepared it; nothing sent');
$queue = msg_get_queue($key, 0);
// PHP gives no queue id: find the queue's row by its key, in signed decimal.
// Columns: key msqid perms cbytes qnum lspid lrpid uid gid cuid cgid ...
$table = @file('/proc/sysvipc/msg') ?: fail(1, '/proc/sysvipc/msg cannot be read; nothing sent');
$rows = array_map(fn($line) => preg_split('/\s+/', trim($line)), $table);
$row = array_values(array_filter($rows, fn($row) => $row[0] === (string) $key))[0] ?? null;
if ($row && $row[2] === '0' && (int) $row[9] === posix_geteuid()) {
    msg_remove_queue($queue); // the queue was removed meanwhile, and msg_get_queue() made this one
    $row = null;
}
$row or fail(69, 'no queue: the service has not prepared it; nothing sent');
($row[9] === '0' && (int) $row[7] < 1000)
    or fail(76, "queue $row[1]: creator $row[9], owner $row[7], not the service's; nothing sent");
$record = open_record('nothing sent'); // only a line written after the send can be its own
$record && fseek($record, 0, SEEK_END);

// serialize=false: the text goes as it is; blocking=false (--no-wait): fail on a full queue.
while (!@msg_send($queue, 1, $text, false, $blocking, $error)) {
    if ($error != EINTR) { // EINTR: a signal's handler ran while waiting for room
        $statuses = [EAGAIN => 75, EIDRM => 74, EACCES => 77];
        fail($statuses[$error] ?? 1, 'msgsnd: ' . posix_strerror($error) . '; nothing sent');
    }
}

// Reads the record on until the command's line. Once the name stands for another
// file (rotated, or made), the old one is complete: it is read to its end, then the
// new one from its start.
[$deadline, $pending] = [$timeout ? microtime(true) + $timeout : INF, ''];
while (true) {
    clearstatcache(); // PHP keeps what stat() said
    $now = @stat(RECORD);
    $was = $record ? fstat($record) : null;
    $moved = $now && (!$was || [$now['dev'], $now['ino']] !== [$was['dev'], $was['ino']]);
    $lines = explode("\n", $pending . ($record ? stream_get_contents($record) : ''));
    $pending = array_pop($lines); // a line counts once its newline is there
    foreach ($lines as $line) {
        $fields = explode("\t", $line); // time, type, outcome, detail, text
        // stripcslashes() reads back the text's escapes: \\ \t \n \r \xhh.
        if (count($fields) == 5 && $fields[1] === '1' && stripcslashes($fields[4]) === $text) {
            echo "$line\n";
            exit(STATUSES[$fields[2]] ?? 1);
        }
    }
    if ($moved) {
        [$record, $pending] = [open_record('the command was sent'), ''];
    } elseif (microtime(true) >= $deadline) {
        fail(6, 'no outcome in ' . RECORD . " within $timeout s; the command was sent");
    } else {
        usleep(200000);
    }
}
