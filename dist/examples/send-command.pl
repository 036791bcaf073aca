#!/usr/bin/perl
# send-command.pl [--no-wait] [--timeout=SECONDS] WORD...: sends one account command to
# useraccountd and exits with its outcome, with the statuses of useraccountctl send;
# useraccountd-senders(7) explains each step. Only core modules are used.
use strict;
use warnings;

use Errno qw(EACCES EAGAIN EIDRM EINTR ENOENT);
use File::Basename qw(dirname);
use IPC::Msg;
use IPC::SysV qw(IPC_NOWAIT ftok);
use Time::HiRes qw(sleep time);

my $key_file = '/quex/etc/useraccount/useraccountkey.json';
my $record_file = '/var/log/useraccountd/outcomes.log';
my %statuses = (succeeded => 0, ignored => 0, failed => 3, signal => 3, error => 3,
                refused => 4, oversized => 4, unknown => 5);
my %escapes = ('\\' => '\\', t => "\t", n => "\n", r => "\r");

sub fail { print STDERR "send-command.pl: $_[1]\n"; exit $_[0] }    # (status, reason)

my ($flags, $timeout) = (0, 0);
while (@ARGV && $ARGV[0] =~ /^--(?:no-wait|timeout=0*([1-9][0-9]*))$/) {
    shift @ARGV;
    if (defined $1) { $timeout = $1 } else { $flags = IPC_NOWAIT }    # fail on a full queue
}
fail(2, 'usage: send-command.pl [--no-wait] [--timeout=SECONDS] WORD...')
    if !@ARGV || $ARGV[0] =~ /^--/;

# Words travel as bytes: under PERL_UNICODE=A (or -CA) Perl decodes them into
# characters, which are encoded back. Each word goes in single quotes, a quote
# in it as '\''.
my @words = @ARGV;
utf8::encode($_) for (${^UNICODE} & 32) && (!(${^UNICODE} & 64) || ${^UTF8LOCALE}) ? @words : ();
my $text = join ' ', map { (my $word = $_) =~ s/'/'\\''/g; "'$word'" } @words;
fail(65, sprintf 'the command is %d bytes, over the limit of 8191; nothing sent', length $text)
    if length $text > 8191;

my $key = ftok($key_file, 'G');
fail($! == ENOENT ? 72 : 1, "$key_file: $!; nothing sent") unless defined $key;
# Flags 0: never create the queue, and ask for no read permission.
my $queue = IPC::Msg->new($key, 0)
    or fail($! == ENOENT ? 69 : 1, "msgget: $!; nothing sent");

# The service's queue was created by root, and root or a system account owns it.
open my $table, '<', '/proc/sysvipc/msg' or fail(1, "/proc/sysvipc/msg: $!; nothing sent");
# key msqid perms cbytes qnum lspid lrpid uid gid cuid cgid ...
my ($row) = grep { $_->[1] eq $queue->id } map { [split ' '] } <$table>;
fail(69, 'queue ' . $queue->id . ' was removed since it was opened; nothing sent') unless $row;
fail(76, 'queue ' . $queue->id . ": creator $row->[9], owner $row->[7], not the service's; "
        . 'nothing sent') if $row->[9] != 0 || $row->[7] >= 1000;

# The record, or undef while its directory is there but not the file.
sub open_record {
    my ($then) = @_;
    my $record;
    return $record if open $record, '<:raw', $record_file;
    fail(66, "$record_file: $!; $then") if $! != ENOENT || !-d dirname($record_file);
    return;
}
my $record = open_record('nothing sent');    # only a line written after the send can be its own
seek $record, 0, 2 if $record;

until ($queue->snd(1, $text, $flags)) {    # snd packs the type as the C long, "l!"
    next if $! == EINTR;                     # a signal's handler ran while waiting for room
    fail($! == EAGAIN ? 75 : $! == EIDRM ? 74 : $! == EACCES ? 77 : 1, "msgsnd: $!; nothing sent");
}

# Reads the record on until the command's line. Once the name stands for another
# file (rotated, or made), the old one is complete: it is read to its end, then
# the new one from its start.
my ($deadline, $pending) = ($timeout ? time + $timeout : undef, '');
while (1) {
    my @now = stat $record_file;
    my @was = $record ? stat $record : ();
    my $moved = @now && (!@was || "@now[0, 1]" ne "@was[0, 1]");    # device, inode
    if ($record) {
        seek $record, 0, 1;    # clears the end of file, as tail -f does
        $pending .= do { local $/; <$record> } // '';
    }
    while ($pending =~ s/\A([^\n]*)\n//) {    # a line counts once its newline is there
        my @fields = split /\t/, $1, -1;         # time, type, outcome, detail, text
        # In the text \\, \t, \n, \r and \xhh are one byte each.
        (my $sent = $fields[-1])
            =~ s/\\(?:x([0-9a-f]{2})|([\\tnr]))/defined $1 ? chr hex $1 : $escapes{$2}/ge;
        next unless @fields == 5 && $fields[1] eq '1' && $sent eq $text;
        print join("\t", @fields), "\n";
        exit($statuses{$fields[2]} // 1);
    }
    if ($moved) {
        ($record, $pending) = (open_record('the command was sent'), '');
    } elsif (defined $deadline && time >= $deadline) {
        fail(6, "no outcome in $record_file within $timeout s; the command was sent");
    } else {
        sleep 0.2;
    }
}
