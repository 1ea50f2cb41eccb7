import SwiftUI

struct ContentView: View {
    var body: some View {
        VStack(spacing: 12) {
            Image(systemName: "iphone.and.arrow.forward")
                .imageScale(.large)
                .foregroundStyle(.tint)
            Text("Built on one Mac, running on this iPhone.")
        }
        .padding()
    }
}

#Preview {
    ContentView()
}
