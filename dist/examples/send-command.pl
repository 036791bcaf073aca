#!/usr/bin/perl
# send-command.pl: sends one account command to useraccountd and, with
# --wait, tells what became of it.
#
#   perl send-command.pl [--no-wait] [--wait[=SECONDS]] [--record FILE] [--] WORD...
#
# The account script receives exactly the given words: each is put in single
# quotes, and a quote inside a word is written as '\''. By default a full
# queue is waited for; --no-wait fails at once instead. --wait then waits, at
# most SECONDS if given, for the command's line in the outcome record
# (/var/log/useraccountd/outcomes.log, or FILE), and prints it.
#
# Exit status: 0 sent (with --wait: the command succeeded); 1 any other
# failure; 2 usage error; 65 the command is too long; 69 no queue (the
# service has not prepared it); 72 no key file (useraccountd is not
# installed); 74 the queue was removed while waiting for room; 75 the queue
# is full (--no-wait); 76 the queue is not the service's (root did not
# create it, or an ordinary user owns it); 77 no permission to send. With
# --wait: 3 the command failed; 4 the daemon refused it; 5 its outcome is
# unknown; 6 no outcome in time; 66 the record cannot be read. The reason
# goes to standard error; see useraccountd-senders(7).
#
# Only core modules are used: IPC::SysV and IPC::Msg.
use strict;
use warnings;

use Errno qw(EACCES EAGAIN EIDRM EINTR ENOENT);
use File::Basename qw(dirname);
use IPC::Msg;
use IPC::SysV qw(IPC_NOWAIT ftok);
use Time::HiRes qw(sleep time);

my $key_file = '/quex/etc/useraccount/useraccountkey.json';
my $account_command = 1;
my $max_text = 8191;
my $program = 'send-command.pl';
my %outcome_status = (succeeded => 0, failed => 3, signal => 3, error => 3,
                      refused => 4, oversized => 4, unknown => 5);

sub fail {
    my ($status, $reason, $what) = @_;
    print STDERR "$program: $reason; ", $what // 'nothing sent', "\n";
    exit $status;
}

sub usage {
    print STDERR "usage: $program [--no-wait] [--wait[=SECONDS]] [--record FILE] [--] WORD...\n";
    exit 2;
}

# The record's text field back to the bytes sent.
sub unescape {
    my ($field) = @_;
    my %single = ('\\' => '\\', t => "\t", n => "\n", r => "\r");
    $field =~ s/\\(?:x([0-9a-f]{2})|([\\tnr]))/defined $1 ? chr hex $1 : $single{$2}/ge;
    return $field;
}

my $flags = 0;
my $wait = 0;
my $timeout;
my $record = '/var/log/useraccountd/outcomes.log';
while (@ARGV && $ARGV[0] =~ /^-/) {
    my $option = shift @ARGV;
    if ($option eq '-n' || $option eq '--no-wait') {
        $flags |= IPC_NOWAIT;
    } elsif ($option eq '--wait') {
        $wait = 1;
    } elsif ($option =~ /^--wait=([0-9]+)$/ && $1 > 0) {
        ($wait, $timeout) = (1, $1);
    } elsif ($option eq '--record' && @ARGV) {
        $record = shift @ARGV;
    } elsif ($option eq '--') {
        last;
    } else {
        usage();
    }
}
usage() unless @ARGV;

# Words travel as bytes. Under PERL_UNICODE=A (or -CA) Perl hands them over
# decoded into characters: encoded again, they are the bytes given, and the
# length counts bytes.
my @words = @ARGV;
if ((${^UNICODE} & 32) && (!(${^UNICODE} & 64) || ${^UTF8LOCALE})) {
    utf8::encode($_) for @words;
}
my $text = join ' ', map { (my $word = $_) =~ s/'/'\\''/g; "'$word'" } @words;
if (length $text > $max_text) {
    fail(65, sprintf 'the command is %d bytes, over the limit of %d', length $text, $max_text);
}

my $key = ftok($key_file, 'G');
defined $key
    or fail($! == ENOENT ? 72 : 1, "key file $key_file: $! (is useraccountd installed?)");

# Flags 0: never create the queue (only the service does), and ask for no
# permission bits: asking for read permission, which senders do not have,
# would fail; msgsnd checks for write permission itself.
my $queue = IPC::Msg->new($key, 0);
if (!$queue) {
    fail(69, 'no command queue: the useraccountd service has not prepared it yet')
        if $! == ENOENT;
    fail(1, "msgget: $!");
}

# The service's queue is created by root and owned by root or a system
# account (an id below 1000). A queue that another user took under the key
# while it was free is theirs to read, empty or re-permission: send nothing
# to it. IPC_STAT needs read permission, which a sender lacks, but
# /proc/sysvipc/msg shows every user each queue's owner and creator.
sub user_name {
    my ($uid) = @_;
    my $name = getpwuid $uid;
    return defined $name ? "$uid ($name)" : $uid;
}
sub check_queue {
    my ($id) = @_;
    open my $table, '<', '/proc/sysvipc/msg' or fail(1, "/proc/sysvipc/msg: $!");
    while (my $line = <$table>) {
        # key msqid perms cbytes qnum lspid lrpid uid gid cuid cgid ...
        my @column = split ' ', $line;
        next unless $column[1] eq $id;
        fail(76, "queue $id was created by " . user_name($column[9])
                . ", not by root: it is not the service's") if $column[9] != 0;
        fail(76, "queue $id is owned by " . user_name($column[7])
                . ", neither root nor a system account: it is not the service's")
            if $column[7] >= 1000;
        return;
    }
    # Removed since it was opened.
    fail(69, 'no command queue: the useraccountd service has not prepared it yet');
}
check_queue($queue->id);

# The outcome record as far as it has been read: the file, its identity
# (device and inode) and the offset of the first line not yet looked at.
my ($fh, $identity, $offset);
sub open_record {
    open my $new, '<:raw', $record or return 0;
    my @stat = stat $new;
    ($fh, $identity, $offset) = ($new, "$stat[0]:$stat[1]", 0);
    return 1;
}

# Only lines written after the send can be this command's: note where the
# record ends now. A record not made yet counts from its start.
if ($wait) {
    if (open_record()) {
        $offset = (stat $fh)[7];
    } elsif ($! != ENOENT || !-d dirname($record)) {
        fail(66, "outcome record $record: $!");
    }
}

# snd packs the type as a native C long ("l!"), as the queue expects.
until ($queue->snd($account_command, $text, $flags)) {
    next if $! == EINTR;    # a signal's handler ran: send again
    fail(75, 'the queue is full') if $! == EAGAIN;
    fail(77, "permission denied: only root and members of the queue's group may send "
            . '(membership counts from the next login)')
        if $! == EACCES;
    fail(74, 'the queue was removed while waiting for room') if $! == EIDRM;
    fail(1, "msgsnd: $!");
}
exit 0 unless $wait;

# The first line of this command among those ended since the last look.
sub command_line {
    $offset = 0 if (stat $fh)[7] < $offset;    # cut in place (copytruncate)
    seek $fh, $offset, 0;
    while (my $line = <$fh>) {
        last unless $line =~ /\n\z/;    # taken once its newline is there
        $offset += length $line;
        my @fields = split /\t/, substr($line, 0, -1), -1;
        return $line if @fields == 5 && $fields[1] eq '1' && unescape($fields[4]) eq $text;
    }
    return;
}

my $deadline = defined $timeout ? time + $timeout : undef;
while (1) {
    my $line = $fh && command_line();
    if ($line) {
        print $line;
        exit($outcome_status{(split /\t/, $line)[2]} // 1);
    }
    # The name stands for another file: the record was rotated, or made.
    # What the old file got was read above.
    my @stat = stat $record;
    fail(66, "outcome record $record: $!", 'the command was sent') if !@stat && $! != ENOENT;
    if (@stat && (!defined $identity || "$stat[0]:$stat[1]" ne $identity)) {
        next if open_record();
        fail(66, "outcome record $record: $!", 'the command was sent') if $! != ENOENT;
    }
    if (defined $deadline && time >= $deadline) {
        fail(6, "no outcome in $record within $timeout s", 'the command was sent');
    }
    sleep 0.2;
}
