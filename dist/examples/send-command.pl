#!/usr/bin/perl
# send-command.pl: sends one account command to useraccountd.
#
#   perl send-command.pl [--no-wait] [--] WORD...
#
# The account script receives exactly the given words: each is put in single
# quotes, and a quote inside a word is written as '\''. By default a full
# queue is waited for; --no-wait fails at once instead.
#
# Exit status: 0 sent; 1 nothing sent (the reason on standard error); 2 usage
# error. The daemon runs the command later, and its outcome shows only in the
# journal: see useraccountd-senders(7).
#
# Only core modules are used: IPC::SysV and IPC::Msg.
use strict;
use warnings;

use Errno qw(EACCES EAGAIN EIDRM EINTR ENOENT);
use IPC::Msg;
use IPC::SysV qw(IPC_NOWAIT ftok);

my $key_file = '/quex/etc/useraccount/useraccountkey.json';
my $account_command = 1;
my $max_text = 8191;
my $program = 'send-command.pl';

sub not_sent {
    print STDERR "$program: $_[0]; nothing sent\n";
    exit 1;
}

sub usage {
    print STDERR "usage: $program [--no-wait] [--] WORD...\n";
    exit 2;
}

my $flags = 0;
while (@ARGV && $ARGV[0] =~ /^-/) {
    my $option = shift @ARGV;
    if ($option eq '-n' || $option eq '--no-wait') {
        $flags |= IPC_NOWAIT;
    } elsif ($option eq '--') {
        last;
    } else {
        usage();
    }
}
usage() unless @ARGV;

# Words travel as bytes; under PERL_UNICODE=A they arrive decoded.
my @words = @ARGV;
utf8::encode($_) for grep { utf8::is_utf8($_) } @words;
my $text = join ' ', map { (my $word = $_) =~ s/'/'\\''/g; "'$word'" } @words;
if (length $text > $max_text) {
    not_sent(sprintf 'the command is %d bytes, over the limit of %d', length $text, $max_text);
}

my $key = ftok($key_file, 'G');
defined $key or not_sent("key file $key_file: $! (is useraccountd installed?)");

# Flags 0: never create the queue (only the service does), and ask for no
# permission bits: asking for read permission, which senders do not have,
# would fail; msgsnd checks for write permission itself.
my $queue = IPC::Msg->new($key, 0);
if (!$queue) {
    not_sent('no command queue: the useraccountd service has not prepared it yet')
        if $! == ENOENT;
    not_sent("msgget: $!");
}

# snd packs the type as a native C long ("l!"), as the queue expects.
until ($queue->snd($account_command, $text, $flags)) {
    next if $! == EINTR;
    not_sent('the queue is full') if $! == EAGAIN;
    not_sent("permission denied: only root and members of the queue's group may send "
            . '(membership counts from the next login)')
        if $! == EACCES;
    not_sent('the queue was removed while waiting for room') if $! == EIDRM;
    not_sent("msgsnd: $!");
}
exit 0;
