//! A host written in Rust that reaches the Nemora debug console both ways:
//! first by writing lines to the console's pipe with the standard library
//! alone, then through the client library's C interface in nemora_client.dll.
//! Exits 0 when every step did what it should; otherwise says which step
//! failed, on standard error, and exits 1.
//!
//! Built by the tests (examples/rust is not a Cargo package; rustc alone will do):
//!
//!     rustc --edition 2021 --target x86_64-pc-windows-gnu -C linker=x86_64-w64-mingw32-gcc \
//!         -L native=<folder of libnemora_client.dll.a> nemora_host.rs
//!
//! and run with nemora_client.dll beside it.

use std::ffi::CStr;
use std::fs::{File, OpenOptions};
use std::io::{self, Write};
use std::os::raw::{c_char, c_int, c_uint, c_ulong, c_ulonglong};
use std::process::ExitCode;
use std::thread::sleep;
use std::time::{Duration, Instant};

// The console's pipe (the client library spells it in nemora_protocol.h).
const PIPE_NAME: &str = r"\\.\pipe\nemora-debug";
const ERROR_FILE_NOT_FOUND: i32 = 2;
const ERROR_PIPE_BUSY: i32 = 231;
const PATIENCE: Duration = Duration::from_secs(30);

#[link(name = "kernel32")]
extern "system" {
    fn WaitNamedPipeW(name: *const u16, timeout_ms: u32) -> i32;
}

/// Opens the pipe for writing: write access only (append access is refused on
/// this pipe), waiting while another client holds it and retrying while the
/// console re-creates it.
fn open_pipe(patience: Duration) -> io::Result<File> {
    let deadline = Instant::now() + patience;
    let wide_name: Vec<u16> = PIPE_NAME.encode_utf16().chain(Some(0)).collect();
    loop {
        match OpenOptions::new().write(true).open(PIPE_NAME) {
            Ok(pipe) => return Ok(pipe),
            Err(e) if Instant::now() >= deadline => return Err(e),
            Err(e) if e.raw_os_error() == Some(ERROR_PIPE_BUSY) => unsafe {
                WaitNamedPipeW(wide_name.as_ptr(), 100);
            },
            Err(e) if e.raw_os_error() == Some(ERROR_FILE_NOT_FOUND) => {
                sleep(Duration::from_millis(10))
            }
            Err(e) => return Err(e),
        }
    }
}

fn write_with_std() -> io::Result<()> {
    let mut pipe = open_pipe(PATIENCE)?;
    // One write_all per line is enough: the console joins the pieces of a line.
    pipe.write_all(b"from Rust std\r\n")?;
    pipe.write_all("na\u{ef}ve \u{2713}\n".as_bytes())?;
    pipe.write_all(b"FPS:30\n")?;
    // Dropping the pipe ends the connection; the console then waits for the next client.
    Ok(())
}

// ---- The C interface (nemora_client_c.h) ----

#[repr(C)]
struct NemoraClient {
    _opaque: [u8; 0],
}

#[repr(C)]
struct NemoraClientOptions {
    size: usize,
    max_buffered_lines: usize,
    max_buffered_bytes: usize,
    flush_timeout_ms: c_uint,
    pipe_name: *const c_char,
}

const NEMORA_CLIENT_CONNECTED: c_int = 1;
const NEMORA_CLIENT_SHUT_DOWN: c_int = 6;

#[link(name = "nemora_client")]
extern "C" {
    fn nemora_client_options_init(options: *mut NemoraClientOptions);
    fn nemora_client_options_init_sized(options: *mut NemoraClientOptions, size: usize);
    fn nemora_client_create() -> *mut NemoraClient;
    fn nemora_client_create_with(options: *const NemoraClientOptions) -> *mut NemoraClient;
    fn nemora_client_shutdown(client: *mut NemoraClient);
    fn nemora_client_destroy(client: *mut NemoraClient);
    fn nemora_client_line(client: *mut NemoraClient, text: *const c_char, length: usize);
    fn nemora_client_puts(client: *mut NemoraClient, text: *const c_char);
    fn nemora_client_fps(client: *mut NemoraClient, fps: f64);
    fn nemora_client_flush(client: *mut NemoraClient, timeout_ms: c_uint) -> c_int;
    fn nemora_client_dropped(client: *const NemoraClient) -> c_ulonglong;
    fn nemora_client_status(client: *const NemoraClient, system_error: *mut c_ulong) -> c_int;
}

impl NemoraClientOptions {
    fn empty() -> NemoraClientOptions {
        NemoraClientOptions {
            size: 0,
            max_buffered_lines: 0,
            max_buffered_bytes: 0,
            flush_timeout_ms: 0,
            pipe_name: std::ptr::null(),
        }
    }
}

/// Owns a client: destroying it flushes (bounded) and frees it.
struct Client(*mut NemoraClient);

impl Client {
    fn with_defaults() -> Option<Client> {
        let client = unsafe { nemora_client_create() };
        (!client.is_null()).then(|| Client(client))
    }

    fn new(flush_timeout_ms: u32) -> Option<Client> {
        let size = std::mem::size_of::<NemoraClientOptions>();
        let mut options = NemoraClientOptions::empty();
        unsafe { nemora_client_options_init(&mut options) };
        if options.size != size {
            eprintln!("failed: the options are {} bytes to the DLL", options.size);
            return None;
        }
        // The same structure, filled for the size this host declares.
        let mut sized = NemoraClientOptions::empty();
        unsafe { nemora_client_options_init_sized(&mut sized, size) };
        if sized.size != size || sized.flush_timeout_ms != options.flush_timeout_ms {
            eprintln!("failed: options_init_sized gave size {}", sized.size);
            return None;
        }
        options.flush_timeout_ms = flush_timeout_ms;
        let client = unsafe { nemora_client_create_with(&options) };
        (!client.is_null()).then(|| Client(client))
    }

    fn shutdown(&self) {
        unsafe { nemora_client_shutdown(self.0) }
    }
    fn line(&self, text: &str) {
        unsafe { nemora_client_line(self.0, text.as_ptr().cast(), text.len()) }
    }
    fn puts(&self, text: &CStr) {
        unsafe { nemora_client_puts(self.0, text.as_ptr()) }
    }
    fn fps(&self, fps: f64) {
        unsafe { nemora_client_fps(self.0, fps) }
    }
    fn flush(&self, timeout: Duration) -> bool {
        unsafe { nemora_client_flush(self.0, timeout.as_millis() as c_uint) == 1 }
    }
    fn dropped(&self) -> u64 {
        unsafe { nemora_client_dropped(self.0) }
    }
    fn status(&self) -> (c_int, c_ulong) {
        let mut error: c_ulong = 0;
        let status = unsafe { nemora_client_status(self.0, &mut error) };
        (status, error)
    }
}

impl Drop for Client {
    fn drop(&mut self) {
        unsafe { nemora_client_destroy(self.0) }
    }
}

fn write_through_the_dll() -> Result<(), String> {
    // Shut down before it had a line to send: it never connects, and ignores later lines.
    let idle = Client::with_defaults().ok_or("no client with the defaults")?;
    idle.shutdown();
    idle.line("never shown");
    if idle.status().0 != NEMORA_CLIENT_SHUT_DOWN {
        return Err(format!("status {:?} after shutdown", idle.status()));
    }
    drop(idle);

    let client = Client::new(2000).ok_or("no client")?;
    client.line("from Rust through the DLL");
    client.line("two\nlines\n");
    client.line("na\u{ef}ve \u{2713}");
    client.puts(CStr::from_bytes_with_nul(b"puts\nfrom Rust\0").unwrap());
    client.fps(42.0);
    if !client.flush(PATIENCE) {
        return Err(format!("flush: status {:?}", client.status()));
    }
    if client.dropped() != 0 {
        return Err(format!("{} lines dropped", client.dropped()));
    }
    if client.status() != (NEMORA_CLIENT_CONNECTED, 0) {
        return Err(format!("status {:?} after the flush", client.status()));
    }
    Ok(())
}

fn main() -> ExitCode {
    if let Err(e) = write_with_std() {
        eprintln!("failed: writing with std: {e}");
        return ExitCode::FAILURE;
    }
    if let Err(e) = write_through_the_dll() {
        eprintln!("failed: the C interface: {e}");
        return ExitCode::FAILURE;
    }
    ExitCode::SUCCESS
}
